#include "fuzztargets.h"

#include "client/replydecoder.h"
#include "crypto/aescipher.h"
#include "net/httprequest.h"
#include "net/lookup.h"
#include "db/sqlrules.h"

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

} // namespace Fuzz
