#include "net/httprequest.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QRegExp>
#include <QJsonObject>
#include <QUrl>
#include <QtTest>

class tst_HttpRequest : public QObject
{
    Q_OBJECT

private slots:
    // reading the request line
    void readCheckRequest_data();
    void readCheckRequest();
    void emptyCapturesAreEmptyNotNull();
    void firstLineEndsAtCrLf();
    void patternMatchesAsQRegExp_data();
    void patternMatchesAsQRegExp();

    // the password in the debug copies
    void maskPassword_data();
    void maskPassword();
    void shownCopiesNeverHoldThePassword_data();
    void shownCopiesNeverHoldThePassword();

    // when a request is judged
    void nextStep_data();
    void nextStep();

    // the answer
    void headerIs61Bytes();
    void checkResponse_data();
    void checkResponse();
    void identifierWithQuoteAndBackslashIsValidJson();
    void verdictResponse_data();
    void verdictResponse();
};

void tst_HttpRequest::readCheckRequest_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("hasGet");
    QTest::addColumn<int>("firstIndex");
    QTest::addColumn<bool>("matched");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("password");

#define ROW(tag, bytes, get, index, match, user, pass) \
    QTest::newRow(tag) << QByteArray(bytes, sizeof(bytes) - 1) << get << index << match << QString(user) << QString(pass)

    ROW("plain_get_with_headers", "GET /t/check?username=alice&password=secret HTTP/1.1\r\nHost: h\r\n\r\n",
        true, 0, true, "alice", "secret");
    ROW("user_runs_to_last_password_key", "GET /t/check?username=a&password=b&password=c HTTP/1.1",
        true, 0, true, "a&password=b", "c");
    ROW("password_runs_to_last_http", "GET /t/check?username=a&password=b HTTPc HTTP/1.1",
        true, 0, true, "a", "b HTTPc");
    ROW("get_in_lower_case_is_not_get", "get /t/check?username=a&password=b HTTP/1.1",
        false, -1, false, "", "");
    ROW("post_line_with_get_request_in_query", "POST /x?GET /t/check?username=a&password=b HTTP/1.0",
        true, 8, true, "a", "b");
    ROW("post_line_with_get_only_as_value", "POST /t/check?username=GET&password=b HTTP/1.1",
        true, -1, false, "", "");
    ROW("characters_before_get", "xxGET /t/check?username=a&password=b HTTP/1.1",
        true, 2, true, "a", "b");
    ROW("percent_encoded_utf8_decoded", "GET /t/check?username=%C3%A4x&password=p HTTP/1.1",
        true, 0, true, QString::fromUtf8("\xc3\xa4x"), "p");
    ROW("percent_encoded_ampersand_kept", "GET /t/check?username=a&password=p%26q HTTP/1.1",
        true, 0, true, "a", "p%26q");
    ROW("plus_kept", "GET /t/check?username=a+b&password=c+d HTTP/1.1",
        true, 0, true, "a+b", "c+d");
    ROW("lf_only_line_ends_whole_text_is_line", "GET /t/check?username=a&password=b HTTP/1.1\nHost: h\n",
        true, 0, true, "a", "b");
    ROW("bytes_after_nul_ignored", "GET /t/check?username=a&password=b\0 HTTP/1.1\r\n",
        true, -1, false, "", "");
    ROW("first_piece_without_http", "GET /t/check?username=a&password=b",
        true, -1, false, "", "");
    ROW("other_path", "GET /t/other?username=a&password=b HTTP/1.1",
        true, -1, false, "", "");
    ROW("empty_input", "", false, -1, false, "", "");
#undef ROW
}

void tst_HttpRequest::readCheckRequest()
{
    QFETCH(QByteArray, received);
    QFETCH(bool, hasGet);
    QFETCH(int, firstIndex);
    QFETCH(bool, matched);
    QFETCH(QString, userName);
    QFETCH(QString, password);

    const Http::CheckRequest request = Http::readCheckRequest(received);
    QCOMPARE(request.hasGet, hasGet);
    QCOMPARE(request.firstIndex, firstIndex);
    QCOMPARE(request.matched, matched);
    QCOMPARE(request.userName, userName);
    QCOMPARE(request.password, password);
    if (hasGet) {
        // The printed url(), toString() and display forms are Qt's own renderings (Qt warns of FullyDecoded).
        const QUrl url(request.line, QUrl::TolerantMode);
        QCOMPARE(request.shownUrl, Http::maskPassword(url.url()));
        QCOMPARE(request.shownString, Http::maskPassword(url.toString()));
        QTest::ignoreMessage(QtWarningMsg, "QUrl: QUrl::FullyDecoded is not permitted when reconstructing the full URL");
        QCOMPARE(request.shownDisplay, Http::maskPassword(url.toDisplayString(QUrl::FullyDecoded)));
    }
}

void tst_HttpRequest::emptyCapturesAreEmptyNotNull()
{
    const Http::CheckRequest request = Http::readCheckRequest("GET /t/check?username=&password= HTTP/1.1");
    QVERIFY(request.matched);
    QVERIFY(request.userName.isEmpty() && !request.userName.isNull());
    QVERIFY(request.password.isEmpty() && !request.password.isNull());
}

void tst_HttpRequest::firstLineEndsAtCrLf()
{
    const Http::CheckRequest request =
        Http::readCheckRequest("GET /t/check?username=a&password=b HTTP/1.1\r\nX: GET /t/check HTTP\r\n");
    QCOMPARE(request.line, QString("GET /t/check?username=a&password=b HTTP/1.1"));
    QCOMPARE(request.rendered, request.line);
    QCOMPARE(request.password, QString("b"));
}

// (same as QRegExp) on lines built from the pattern's own pieces, in any
// order and number, where greedy captures and overlaps decide the result.
void tst_HttpRequest::patternMatchesAsQRegExp_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("plain") << "GET /t/check?username=alice&password=pw HTTP/1.1";
    QTest::newRow("last_password_key_wins") << "GET /t/check?username=a&password=b&password=c HTTP/1.0";
    QTest::newRow("last_http_wins") << "GET /t/check?username=a&password=b HTTP c HTTP/1.1";
    QTest::newRow("password_key_after_last_http") << "GET /t/check?username=a HTTP&password=b";
    QTest::newRow("second_beginning") << "xGET /t/check?username=GET /t/check?username=a&password=b HTTP";
    QTest::newRow("empty_captures") << "GET /t/check?username=&password= HTTP";
    QTest::newRow("line_feed_inside") << "GET /t/check?username=a\nb&password=c\n HTTP\n";
    QTest::newRow("no_http") << "GET /t/check?username=a&password=b";
    QTest::newRow("http_touching_key") << "GET /t/check?username=a&password= HTTP";
    QTest::newRow("nothing") << "";
    // Random lines of the pieces; the seed is printed so a failure repeats.
    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("patternMatchesAsQRegExp seed %u", seed);
    QRandomGenerator random(seed);
    const QStringList pieces{"GET /t/check?username=", "&password=", " HTTP", "a", "&", "=", " ", "H", "\n", "GET"};
    for (int i = 0; i < 400; ++i) {
        QString line;
        for (int n = int(random.bounded(12)); n > 0; --n)
            line += pieces.at(int(random.bounded(pieces.size())));
        QTest::addRow("random_%d", i) << line;
    }
}

void tst_HttpRequest::patternMatchesAsQRegExp()
{
    QFETCH(QString, line);
    QRegExp oracle(QStringLiteral("GET /t/check\\?username=(.*)&password=(.*) HTTP(.*)"), Qt::CaseSensitive,
                   QRegExp::RegExp);
    const int index = oracle.indexIn(line, 0, QRegExp::CaretAtZero);
    const Http::PatternMatch match = Http::matchRequestPattern(line);
    QCOMPARE(match.index, index);
    if (index >= 0) {
        QCOMPARE(match.userName, oracle.cap(1));
        QCOMPARE(match.password, oracle.cap(2));
    }
}

void tst_HttpRequest::maskPassword_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");

    QTest::newRow("up_to_http") << "GET /t/check?username=a&password=secret HTTP/1.1"
                                << "GET /t/check?username=a&password=******** HTTP/1.1";
    QTest::newRow("to_end_without_http") << "GET /t/check?username=a&password=secret"
                                         << "GET /t/check?username=a&password=********";
    QTest::newRow("up_to_last_http") << "x&password=a HTTP b HTTP/1.1" << "x&password=******** HTTP/1.1";
    QTest::newRow("http_only_before_key") << "GET HTTP x password=abc" << "GET HTTP x password=********";
    QTest::newRow("from_first_key") << "password=a&password=b HTTP/1.0" << "password=******** HTTP/1.0";
    QTest::newRow("no_key_unchanged") << "GET /t/check?username=a HTTP/1.1" << "GET /t/check?username=a HTTP/1.1";
    QTest::newRow("empty") << "" << "";
}

void tst_HttpRequest::maskPassword()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    QCOMPARE(Http::maskPassword(text), shown);
    QCOMPARE(Http::maskPassword(text.toLatin1()), shown.toLatin1());
}

void tst_HttpRequest::shownCopiesNeverHoldThePassword_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<QString>("secret");

    QTest::newRow("plain") << QByteArray("GET /t/check?username=a&password=Zq9secret HTTP/1.1\r\n")
                           << "Zq9secret";
    QTest::newRow("encoded_letters") << QByteArray("GET /t/check?username=a&password=Zq9%C3%A4%20x HTTP/1.1")
                                     << QString::fromUtf8("Zq9\xc3\xa4 x");
    QTest::newRow("no_http") << QByteArray("GET /t/check?username=a&password=Zq9secret") << "";
}

void tst_HttpRequest::shownCopiesNeverHoldThePassword()
{
    QFETCH(QByteArray, received);
    QFETCH(QString, secret);

    const Http::CheckRequest r = Http::readCheckRequest(received);
    QCOMPARE(r.password, secret);
    const QStringList shown = {r.shownLine, r.shownRendered, QString::fromLatin1(r.shownEncoded), r.shownUrl,
                               r.shownString, r.shownDisplay, r.shownPercentDecoded};
    for (const QString &copy : shown) {
        QVERIFY2(!copy.contains(QLatin1String("Zq9")), qPrintable(copy));
        QVERIFY2(copy.contains(QLatin1String("password=********")), qPrintable(copy));
    }
    QVERIFY(r.shownLine.startsWith(QLatin1String("GET /t/check?username=a&")));
}

void tst_HttpRequest::nextStep_data()
{
    QTest::addColumn<qint64>("buffered");
    QTest::addColumn<bool>("lineFeed");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<int>("step");

    const int max = Http::MaxRequestBytes;
    QTest::newRow("nothing_yet") << qint64(0) << false << false << int(Http::Step::Wait);
    QTest::newRow("partial_line") << qint64(20) << false << false << int(Http::Step::Wait);
    QTest::newRow("line_feed") << qint64(20) << true << false << int(Http::Step::Judge);
    QTest::newRow("line_feed_wins_over_time_out") << qint64(20) << true << true << int(Http::Step::Judge);
    QTest::newRow("exactly_at_limit_waits") << qint64(max) << false << false << int(Http::Step::Wait);
    QTest::newRow("over_limit") << qint64(max + 1) << false << false << int(Http::Step::Refuse);
    QTest::newRow("over_limit_at_time_out") << qint64(max + 1) << false << true << int(Http::Step::Refuse);
    QTest::newRow("time_out_with_bytes") << qint64(5) << false << true << int(Http::Step::Judge);
    QTest::newRow("time_out_silent") << qint64(0) << false << true << int(Http::Step::Drop);
}

void tst_HttpRequest::nextStep()
{
    QFETCH(qint64, buffered);
    QFETCH(bool, lineFeed);
    QFETCH(bool, timedOut);
    QFETCH(int, step);
    QCOMPARE(int(Http::nextStep(buffered, lineFeed, timedOut)), step);
}

void tst_HttpRequest::headerIs61Bytes()
{
    const QByteArray header = Http::responseHeader();
    QCOMPARE(header.size(), 61);
    QCOMPARE(header.toHex(), QByteArray("HTTP/1.0 200 Ok\r\nContent-Type: text/html; charset=\"utf-8\"\r\n\r\n").toHex());
}

void tst_HttpRequest::checkResponse_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("identifier") << "u-17" << QByteArray("{\"rez\":\"exist\",\"userid\":\"u-17\"}\n");
    QTest::newRow("none_is_not_found") << "none" << QByteArray("{\"rez\":\"notfount\",\"e\":\"n\"}\n");
    QTest::newRow("None_in_capitals_is_an_identifier") << "None"
                                                       << QByteArray("{\"rez\":\"exist\",\"userid\":\"None\"}\n");
    QTest::newRow("empty_is_found") << "" << QByteArray("{\"rez\":\"exist\",\"userid\":\"\"}\n");
    QTest::newRow("quote_and_backslash_escaped") << "a\"b\\c"
                                                 << QByteArray("{\"rez\":\"exist\",\"userid\":\"a\\\"b\\\\c\"}\n");
    QTest::newRow("control_characters_escaped")
        << QString("t\tn\nr\r") + QChar(1) << QByteArray("{\"rez\":\"exist\",\"userid\":\"t\\tn\\nr\\r\\u0001\"}\n");
    QTest::newRow("non_ascii_as_utf8") << QString::fromUtf8("\xc3\xa4\xe2\x82\xac")
                                       << QByteArray("{\"rez\":\"exist\",\"userid\":\"\xc3\xa4\xe2\x82\xac\"}\n");
}

void tst_HttpRequest::checkResponse()
{
    QFETCH(QString, result);
    QFETCH(QByteArray, body);
    QCOMPARE(Http::checkResponse(result).toHex(), (Http::responseHeader() + body).toHex());
}

void tst_HttpRequest::identifierWithQuoteAndBackslashIsValidJson()
{
    const QString identifier = QStringLiteral("x\",\"admin\":\"1\\");
    const QByteArray answer = Http::checkResponse(identifier);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(answer.mid(61), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.object().value("userid").toString(), identifier);
    QCOMPARE(doc.object().keys(), QStringList({"rez", "userid"}));
}

// 503 only for a verdict the database could not give, and only when asked for.
void tst_HttpRequest::verdictResponse_data()
{
    QTest::addColumn<bool>("unavailable");
    QTest::addColumn<bool>("answerUnavailable");
    QTest::addColumn<QByteArray>("answer");
    const QByteArray notFound = Http::notFoundResponse();
    const QByteArray busy = "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/html; charset=\"utf-8\"\r\n"
                            "Retry-After: 4\r\n\r\n{\"rez\":\"unavailable\",\"e\":\"db\"}\n";
    QTest::newRow("unavailable_answered_503") << true << true << busy;
    QTest::newRow("unavailable_not_asked_for") << true << false << notFound;
    QTest::newRow("not_found_stays_200") << false << true << notFound;
}

void tst_HttpRequest::verdictResponse()
{
    QFETCH(bool, unavailable);
    QFETCH(bool, answerUnavailable);
    QFETCH(QByteArray, answer);
    const Http::Verdict verdict{QStringLiteral("none"), unavailable, 4};
    QCOMPARE(Http::verdictResponse(verdict, answerUnavailable).toHex(), answer.toHex());
}

QTEST_APPLESS_MAIN(tst_HttpRequest)
#include "tst_httprequest.moc"
