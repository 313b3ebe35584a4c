#include "cache/verdictcache.h"

#include <QtTest>

// Each row is a script on one cache (ttl 1000 ms, stale 5000, negative ttl
// 500, 5 entries), steps: "R name password id|- at" (the database answered
// found id, or not found), "F name password at want" (fresh(): id, -, miss),
// "S name password at want" (stale(): id or none), "N count" (entries), "X" (flush).
class tst_VerdictCache : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
};

void tst_VerdictCache::rules_data()
{
    QTest::addColumn<QString>("script");
    QTest::newRow("found answers fresh until ttl, stale until ttl + stale")
        << "R a p 7 0; F a p 999 7; F a p 1000 miss; S a p 1000 7; S a p 5999 7; S a p 6000 none";
    QTest::newRow("another password is not answered from the entry")
        << "R a p 7 0; F a q 10 miss; S a q 10 none; F b p 10 miss";
    QTest::newRow("a new found password retires the old one at once")
        << "R a p 7 0; R a q 7 10; F a p 20 miss; S a p 20 none; F a q 20 7; N 1";
    QTest::newRow("a not-found answer retires the found entry")
        << "R a p 7 0; R a q - 10; F a p 20 miss; S a p 20 none; F a q 20 -; N 1";
    QTest::newRow("not found kept for the negative ttl, never stale")
        << "R a q - 0; F a q 499 -; F a q 500 miss; S a q 100 none";
    QTest::newRow("wrong passwords per name are bounded")
        << "R a w1 - 0; R a w2 - 0; R a w3 - 0; R a w4 - 0; R a w5 - 0; N 4; F a w1 1 miss; F a w2 1 -";
    QTest::newRow("size bound evicts the least recently used")
        << "R a p 1 0; R b p 2 0; R c p 3 0; R d p 4 0; R e p 5 0; F a p 1 1; R f p 6 2; F b p 3 miss; F a p 3 1; N 5";
    QTest::newRow("flush empties") << "R a p 7 0; R b p 8 0; N 2; X; N 0; F a p 1 miss; S a p 1 none";
    QTest::newRow("names and passwords do not run together")
        << "R ab c 7 0; F a bc 1 miss; R a bc 8 0; F ab c 1 7; F a bc 1 8";
}

void tst_VerdictCache::rules()
{
    QFETCH(QString, script);
    Cache::Policy policy;
    policy.ttlMs = 1000;
    policy.staleMs = 5000;
    policy.negativeTtlMs = 500;
    policy.size = 5;
    VerdictCache cache(policy);
    const auto shown = [](const std::optional<QString> &v) { return v ? *v : QStringLiteral("-"); };
    for (const QString &step : script.split(QLatin1Char(';'))) {
        const QStringList w = step.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const QString op = w.value(0);
        if (op == QLatin1String("R")) {
            const VerdictCache::Verdict verdict = w[3] == QLatin1String("-") ? VerdictCache::Verdict() : w[3];
            cache.remember(w[1], w[2], verdict, w[4].toLongLong());
        } else if (op == QLatin1String("F")) {
            const auto got = cache.fresh(w[1], w[2], w[3].toLongLong());
            QCOMPARE(got ? shown(*got) : QStringLiteral("miss"), w[4]);
        } else if (op == QLatin1String("S")) {
            const auto got = cache.stale(w[1], w[2], w[3].toLongLong());
            QCOMPARE(got.value_or(QStringLiteral("none")), w[4]);
        } else if (op == QLatin1String("N")) {
            QCOMPARE(cache.entries(), w[1].toInt());
        } else {
            QCOMPARE(op, QStringLiteral("X"));
            cache.flush();
        }
    }
}

QTEST_GUILESS_MAIN(tst_VerdictCache)
#include "tst_verdictcache.moc"
