#include "verdictcache.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

namespace {

QByteArray randomKey()
{
    QByteArray key(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(key.begin(), key.end());
    return key;
}

} // namespace

size_t VerdictCache::KeyHash::operator()(const Key &key) const noexcept
{
    size_t hash;
    std::memcpy(&hash, key.data(), sizeof hash);
    return hash;
}

VerdictCache::VerdictCache(const Cache::Policy &policy) : m_policy(policy), m_key(randomKey())
{ }

// The name and the password are told apart by a tag and the name's length,
// so no two different pairs make the same message.
VerdictCache::Key VerdictCache::nameKey(const QString &name) const
{
    const QByteArray mac
        = QMessageAuthenticationCode::hash('n' + name.toUtf8(), m_key, QCryptographicHash::Sha256);
    Key key;
    std::memcpy(key.data(), mac.constData(), key.size());
    return key;
}

VerdictCache::Key VerdictCache::passwordKey(const QString &name, const QString &password) const
{
    const QByteArray utf8Name = name.toUtf8();
    const QByteArray message = 'p' + QByteArray::number(utf8Name.size()) + ':' + utf8Name + password.toUtf8();
    const QByteArray mac = QMessageAuthenticationCode::hash(message, m_key, QCryptographicHash::Sha256);
    Key key;
    std::memcpy(key.data(), mac.constData(), key.size());
    return key;
}

std::pair<VerdictCache::Name *, VerdictCache::Entry *> VerdictCache::find(
    const QString &name, const QString &password)
{
    const auto it = m_names.find(nameKey(name));
    if (it == m_names.end())
        return {nullptr, nullptr};
    const Key key = passwordKey(name, password);
    for (Entry &entry : it->second.entries) {
        if (entry.password == key)
            return {&it->second, &entry};
    }
    return {&it->second, nullptr};
}

std::optional<VerdictCache::Verdict> VerdictCache::fresh(
    const QString &name, const QString &password, qint64 nowMs)
{
    const auto [slot, entry] = find(name, password);
    if (entry && nowMs - entry->storedMs < (slot->found ? m_policy.ttlMs : m_policy.negativeTtlMs)) {
        ++m_counters.hits;
        touch(*slot);
        if (!slot->found)
            return Verdict();
        return Verdict(QString::fromStdString(slot->identifier));
    }
    ++m_counters.misses;
    return std::nullopt;
}

std::optional<QString> VerdictCache::stale(const QString &name, const QString &password, qint64 nowMs)
{
    const auto [slot, entry] = find(name, password);
    if (!entry || !slot->found || nowMs - entry->storedMs >= m_policy.ttlMs + m_policy.staleMs)
        return std::nullopt;
    ++m_counters.staleAnswers;
    touch(*slot);
    return QString::fromStdString(slot->identifier);
}

void VerdictCache::remember(
    const QString &name, const QString &password, const Verdict &verdict, qint64 nowMs)
{
    if (!verdict && m_policy.negativeTtlMs <= 0) {
        // Nothing to keep, but the name's found password is no longer to be trusted.
        const auto it = m_names.find(nameKey(name));
        if (it != m_names.end() && it->second.found)
            drop(it->second);
        return;
    }
    const auto [it, added] = m_names.try_emplace(nameKey(name));
    Name &slot = it->second;
    if (added)
        slot.key = &it->first;
    std::vector<Entry> &entries = slot.entries;
    const int before = int(entries.size());
    const Entry entry {passwordKey(name, password), nowMs};
    if (verdict || slot.found) // found retires every other password; not found, the found one
        entries.clear();
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                      [&](const Entry &e) { return e.password == entry.password; }),
        entries.end());
    if (int(entries.size()) >= Cache::NotFoundPerName)
        entries.erase(entries.begin()); // the oldest wrong one
    entries.push_back(entry);
    slot.found = bool(verdict);
    slot.identifier = verdict ? verdict->toStdString() : std::string();
    m_entries += int(entries.size()) - before;
    touch(slot);
    while (m_entries > m_policy.size && m_oldest != &slot) {
        m_counters.evictions += m_oldest->entries.size();
        drop(*m_oldest);
    }
    for (; m_entries > m_policy.size && entries.size() > 1; --m_entries, ++m_counters.evictions)
        entries.erase(entries.begin());
}

int VerdictCache::flush()
{
    const int had = m_entries;
    m_names.clear();
    m_newest = m_oldest = nullptr;
    m_entries = 0;
    return had;
}

// The newest end of the list, for a name just used.
void VerdictCache::touch(Name &name)
{
    if (m_newest == &name)
        return;
    unlink(name);
    name.older = m_newest;
    if (m_newest)
        m_newest->newer = &name;
    m_newest = &name;
    if (!m_oldest)
        m_oldest = &name;
}

void VerdictCache::unlink(Name &name)
{
    if (name.older)
        name.older->newer = name.newer;
    if (name.newer)
        name.newer->older = name.older;
    if (m_oldest == &name)
        m_oldest = name.newer;
    if (m_newest == &name)
        m_newest = name.older;
    name.older = name.newer = nullptr;
}

void VerdictCache::drop(Name &name)
{
    unlink(name);
    m_entries -= int(name.entries.size());
    const Key key = *name.key; // not a reference into the node being erased
    m_names.erase(key);
}
