#ifndef VERDICTCACHE_H
#define VERDICTCACHE_H

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Cache {

// ---- Limits ----------------------------------------------------------------
// Wrong passwords remembered per user name at most; a further one pushes out
// the oldest, so one guesser's name holds few entries.
constexpr int NotFoundPerName = 4;
// Bytes of HMAC-SHA-256 kept as a key: 128 bits, far beyond any collision.
constexpr int KeyBytes = 16;

// cache/ttl, cache/negative_ttl, cache/stale (in milliseconds here) and
// cache/size.
struct Policy
{
    qint64 ttlMs = 0;         // a found verdict answers without the database this long; 0: no cache
    qint64 negativeTtlMs = 0; // the same for not found; 0: not kept
    qint64 staleMs = 0;       // past ttl, a found verdict still answers while the database cannot
    int size = 100000;        // entries at most
};

} // namespace Cache

// The credential check's recent verdicts. An entry is found with its
// identifier, or not found, for one user name and one password; both stand
// only as HMAC-SHA-256 under a key made at construction and kept in memory
// alone, so nothing here reveals a password or lets one be tried against it.
// A name's entries are either its one found password or up to
// NotFoundPerName wrong ones: a found answer retires every other password of
// the name, a not-found answer the found one. Least recently used names go
// first when there are more than Policy::size entries. Times are the caller's
// monotonic milliseconds.
class VerdictCache
{
public:
    struct Counters
    {
        quint64 hits = 0;         // answered fresh from here
        quint64 misses = 0;       // asked the database
        quint64 staleAnswers = 0; // answered from an expired entry while the database could not
        quint64 evictions = 0;    // entries pushed out by the size bound
    };
    // The identifier for found; none for not found.
    using Verdict = std::optional<QString>;

    explicit VerdictCache(const Cache::Policy &policy);

    bool enabled() const { return m_policy.ttlMs > 0; }
    // A verdict still fresh at nowMs, counted as a hit; else none, a miss.
    std::optional<Verdict> fresh(const QString &name, const QString &password, qint64 nowMs);
    // While the database cannot answer: the identifier of a found entry no
    // older than ttl + stale, counted as a stale answer.
    std::optional<QString> stale(const QString &name, const QString &password, qint64 nowMs);
    // What the database answered for the pair.
    void remember(const QString &name, const QString &password, const Verdict &verdict, qint64 nowMs);
    // Drops everything; returns how many entries there were.
    int flush();

    int entries() const { return m_entries; }
    const Counters &counters() const { return m_counters; }

private:
    using Key = std::array<quint8, Cache::KeyBytes>;
    struct KeyHash
    {
        // The keys are HMAC output: any eight of their bytes are a uniform hash.
        size_t operator()(const Key &key) const noexcept;
    };
    struct Entry
    {
        Key password;
        qint64 storedMs;
    };
    struct Name
    {
        std::string identifier; // UTF-8, when found
        std::vector<Entry> entries;
        bool found = false; // one entry, the found password; else wrong passwords
        const Key *key = nullptr;
        Name *older = nullptr, *newer = nullptr;
    };

    Key nameKey(const QString &name) const;
    Key passwordKey(const QString &name, const QString &password) const;
    // The name's entry for the password, if there is one.
    std::pair<Name *, Entry *> find(const QString &name, const QString &password);
    void touch(Name &name);
    void unlink(Name &name);
    void drop(Name &name);

    const Cache::Policy m_policy;
    const QByteArray m_key;
    std::unordered_map<Key, Name, KeyHash> m_names;
    Name *m_newest = nullptr, *m_oldest = nullptr;
    int m_entries = 0;
    Counters m_counters;
};

#endif // VERDICTCACHE_H
