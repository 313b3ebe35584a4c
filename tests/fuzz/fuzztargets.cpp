#include "fuzztargets.h"

#include "client/replydecoder.h"
#include "crypto/aescipher.h"
#include "net/addressblocks.h"
#include "net/authrequest.h"
#include "net/httprequest.h"
#include "net/lookup.h"
#include "net/proxyprotocol.h"
#include "db/sqlrules.h"
#include "passwords/passwords.h"

#include <QByteArray>
#include <QRegExp>
#include <QtGlobal>

#include <cstdlib>

namespace {
// The cipher's refusal warnings would flood the fuzzer's output.
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}
const QtMessageHandler installed = qInstallMessageHandler(quiet);

QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

[[noreturn]] void broken(const char *what)
{
    qInstallMessageHandler(installed);
    qFatal("fuzz invariant broken: %s", what);
}
} // namespace

namespace Fuzz {

int httpRequest(const uint8_t *data, size_t size)
{
    // The request pattern, read by hand, as QRegExp reads it.
    const QString line = QString::fromUtf8(bytes(data, size));
    QRegExp oracle(QStringLiteral("GET /t/check\\?username=(.*)&password=(.*) HTTP(.*)"), Qt::CaseSensitive,
                   QRegExp::RegExp);
    const int index = oracle.indexIn(line, 0, QRegExp::CaretAtZero);
    const Http::PatternMatch match = Http::matchRequestPattern(line);
    if (match.index != index || (index >= 0 && (match.userName != oracle.cap(1) || match.password != oracle.cap(2))))
        broken("request pattern read otherwise than QRegExp reads it");

    const Http::CheckRequest r = Http::readCheckRequest(bytes(data, size));
    if (r.matched && !r.hasGet)
        broken("a request without GET matched");
    // Every printed form masks the value behind its first "password=" key.
    const QString key = QStringLiteral("password=");
    const int at = r.rendered.indexOf(key);
    if (r.matched && (at < 0 || r.shownRendered.indexOf(key) != at
                      || r.shownRendered.mid(at, key.size() + 8) != key + QLatin1String("********")))
        broken("password not masked in a printed form");
    const QByteArray answer = Http::checkResponse(r.userName);
    if (!answer.startsWith(Http::responseHeader()) || !answer.endsWith('\n'))
        broken("answer shape");
    return 0;
}

// The agent's encoder and the lookup client's decoder, each checking the other:
// the bytes as a result the agent replies with, and as a reply the client reads.
int lookupReply(const uint8_t *data, size_t size)
{
    const QByteArray raw = bytes(data, size);
    const QString text = QString::fromUtf8(raw.constData(), raw.size());
    const QByteArray reply = Lookup::encodeReply(text);
    if (reply.size() != 4 + 2 * text.size())
        broken("reply length");
    // (roundtrip) decode(encodeReply(text)) is text, whole, and not null.
    const LookupReply::Decoded back = LookupReply::decode(reply);
    if (back.state != LookupReply::State::Complete || back.isNull || back.text != text
        || back.expectedBytes != reply.size())
        broken("decode(encodeReply(text)) != text");
    (void)Lookup::decodeInput(raw);
    (void)Sql::bindInput(text);

    // The raw bytes as a received reply.
    const LookupReply::Decoded d = LookupReply::decode(raw);
    switch (d.state) {
    case LookupReply::State::Complete:
        if (d.expectedBytes != raw.size())
            broken("complete, but expectedBytes != size");
        // (output == input) a whole reply is exactly what the agent sends for its text.
        if (d.isNull ? raw != QByteArray(4, '\xff') || !d.text.isEmpty() : Lookup::encodeReply(d.text) != raw)
            broken("complete reply is not the encoding of its text");
        break;
    case LookupReply::State::NeedMore:
        if (d.expectedBytes >= 0 && d.expectedBytes <= raw.size())
            broken("needs more, but expects no more than it has");
        break;
    case LookupReply::State::Malformed:
        if (d.problem.isEmpty())
            broken("malformed without a reason");
        break;
    }
    return 0;
}

// Layout: mode byte, key length byte, iv length byte, key, iv, data.
int aesDecrypt(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const auto mode = AesCipher::CipherMode(data[0] % 3);
    const size_t keyLen = data[1] % 48;
    const size_t ivLen = data[2] % 24;
    if (size < 3 + keyLen + ivLen)
        return 0;
    const QByteArray key = bytes(data + 3, keyLen);
    const QByteArray iv = bytes(data + 3 + keyLen, ivLen);
    const QByteArray payload = bytes(data + 3 + keyLen + ivLen, size - 3 - keyLen - ivLen);
    AesCipher cipher(mode, key, iv);
    const QByteArray plain = cipher.decrypt(payload);
    if (plain.size() > payload.size())
        broken("decrypt grew the data");
    // (roundtrip) whenever the cipher accepts its settings.
    const QByteArray again = cipher.encrypt(payload);
    if (!again.isEmpty() && cipher.decrypt(again) != payload)
        broken("decrypt(encrypt(x)) != x");
    return 0;
}

// The PROXY header reader over any bytes; the address parsers over them as text.
int proxyProtocol(const uint8_t *data, size_t size)
{
    using Proxy::Status;
    const QByteArray raw = bytes(data, size);
    const Proxy::Parsed parsed = Proxy::parse(raw);
    const Proxy::Header &h = parsed.header;
    if (parsed.status != Status::Bad && raw.size() >= 6 && !Proxy::startsLikeHeader(raw))
        broken("taken as a header, yet not like one");
    if ((parsed.status == Status::Bad) == parsed.why.isEmpty()
        || (parsed.status != Status::Done) != !parsed.consumed)
        broken("a reason without Bad, or bytes consumed without Done");
    // (prefix) Each outcome is fixed by the bytes so far: a header, or what
    // needs more, needed more one byte before; more bytes never mend a bad one.
    const int whole = parsed.status == Status::Done ? parsed.consumed : raw.size();
    if (parsed.status != Status::Bad && whole > 0
        && Proxy::parse(raw.left(whole - 1)).status != Status::NeedMore)
        broken("one byte less did not need more");
    if (parsed.status == Status::Bad && Proxy::parse(raw + raw).status != Status::Bad)
        broken("bad bytes read as good once more followed");
    if (parsed.status == Status::Done) {
        const Proxy::Parsed alone = Proxy::parse(raw.left(parsed.consumed));
        if (parsed.consumed > (h.version == 1 ? Proxy::V1MaxBytes : Proxy::MaxHeaderBytes)
            || alone.consumed != parsed.consumed || alone.header.source != h.source
            || alone.header.sourcePort != h.sourcePort || alone.header.destinationPort != h.destinationPort)
            broken("a header too long, or read otherwise without the bytes after it");
        // (roundtrip) A v1 TCP4 line is exactly what its fields print.
        const QByteArray line = QStringLiteral("PROXY TCP4 %1 %2 %3 %4\r\n")
                                    .arg(h.source.toString(), h.destination.toString())
                                    .arg(h.sourcePort)
                                    .arg(h.destinationPort)
                                    .toLatin1();
        if (h.version == 1 && h.source.protocol() == QAbstractSocket::IPv4Protocol
            && line != raw.left(parsed.consumed))
            broken("a v1 TCP4 line is not what its fields print");
        const std::optional<Net::AddressBlocks> own = Net::AddressBlocks::parse(h.source.toString(), nullptr);
        if (h.kind == Proxy::Header::Kind::Proxy && (!own || !own->contains(h.source)))
            broken("a header's source is not in the block of its own text");
    }

    const QString text = QString::fromLatin1(raw);
    QString why;
    if (!Net::AddressBlocks::parse(text, &why) && why.isEmpty())
        broken("a list refused without a reason");
    // (roundtrip) An address as Qt prints it reads back as itself.
    const std::optional<QHostAddress> address = Net::parseAddress(text);
    if (address && Net::parseAddress(address->toString()) != address)
        broken("an address does not read back from its own text");
    (void)Net::clientKey(QHostAddress(text));
    (void)Net::bindAddress(text, &why);
    return 0;
}

// The sign-in listener's head reader over any bytes, and the same bytes as
// an Authorization value and as the text of an answer's headers.
int authRequest(const uint8_t *data, size_t size)
{
    using Status = Auth::Parsed::Status;
    constexpr int limit = 1024;
    const QByteArray raw = bytes(data, size);
    const Auth::Parsed parsed = Auth::parseHead(raw, limit);
    if ((parsed.status == Status::Bad) == parsed.why.isEmpty() || (parsed.status == Status::Done) != (parsed.consumed > 0))
        broken("a reason without Bad, or bytes consumed without Done");
    if (parsed.status == Status::TooLarge && raw.size() <= limit)
        broken("too large within the limit");
    if (parsed.status == Status::Done) {
        // (prefix) The head alone reads the same, one byte less needs more, and a
        // search resumed where that one stopped ends where this one did.
        const Auth::Parsed alone = Auth::parseHead(raw.left(parsed.consumed), limit);
        const Auth::Parsed less = Auth::parseHead(raw.left(parsed.consumed - 1), limit);
        const Auth::Parsed resumed = Auth::parseHead(raw.left(parsed.consumed), limit, less.scanned);
        if (parsed.consumed > limit || alone.consumed != parsed.consumed || less.status != Status::NeedMore
            || resumed.consumed != parsed.consumed || alone.head.authorization != parsed.head.authorization)
            broken("a head read otherwise alone, cut or resumed");
    }
    const Auth::Credentials read = Auth::basicCredentials({raw});
    if (read.refusal.isEmpty()) {
        // (roundtrip) Credentials read encode back to a value that reads the same.
        const Auth::Credentials again
            = Auth::basicCredentials({"Basic " + (read.user + QLatin1Char(':') + read.password).toUtf8().toBase64()});
        if (read.user.isEmpty() || read.user.contains(QLatin1Char(':')) || read.user.contains(QChar(0))
            || again.user != read.user || again.password != read.password)
            broken("Basic credentials do not read back as themselves");
    }
    // A header-safe value, and any realm, keep the answer's lines whole.
    const QString text = QString::fromUtf8(raw);
    Auth::Answer found;
    found.status = 200;
    found.user = found.userId = text;
    if (Auth::headerSafe(text) && Auth::response(found).count('\n') != 6)
        broken("a header-safe value broke a line of the answer");
    if (Auth::challenge(text).contains('\n') || Auth::challenge(text).contains('\r'))
        broken("a realm broke the challenge's line");
    return 0;
}

// Any bytes as a stored value: its format, the prefix a log shows, its
// parameters, and, where they cost little, two verifications.
int storedPassword(const uint8_t *data, size_t size)
{
    using namespace Passwords;
    constexpr quint64 MaxWork = 1 << 16; // digest blocks: a few milliseconds
    const QByteArray stored = bytes(data, size);
    const Format format = formatOf(stored);
    const QString prefix = prefixOf(stored);
    const Parsed parsed = parse(stored);
    if (parsed.format != format || (format == Format::Unknown) != (prefix == QLatin1String("(none known)")))
        broken("format, prefix and parse disagree");
    // (prefix) What a log shows is the value's own start, or no character of it.
    if (!prefix.startsWith('(') && !QString::fromLatin1(stored).startsWith(prefix, Qt::CaseInsensitive))
        broken("the prefix shown is not the value's");
    if (!parsed.reason && parsed.work > MaxWork)
        return 0;
    const Checked right = check("Zq9secret", stored, true, "alice"), wrong = check("Xq9secret", stored, true, "alice");
    if ((right.result == Result::Unknown) != (format == Format::Unknown)
        || right.reason.isEmpty() != (right.result == Result::Match || right.result == Result::Mismatch))
        broken("unknown for a known format, or a refusal without a reason");
    if (format != Format::Unknown && parsed.reason
        && (right.result != Result::Malformed || right.reason != QLatin1String(parsed.reason)))
        broken("a value its parse refused was verified");
    if (right.result == Result::Match && wrong.result == Result::Match)
        broken("two passwords match one value");
    (void)needsRehash(stored);
    return 0;
}

} // namespace Fuzz
