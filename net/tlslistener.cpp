#include "tlslistener.h"
#include "listeners.h"
#include "proxyprotocol.h"

#include <QDebug>
#include <QFile>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

// ---- One connection ----------------------------------------------------------

// A TLS connection on the client's descriptor and, once its handshake is done,
// the plain text relayed to and from the agent's end of a socket pair. Driven
// by socket notifiers; each direction holds at most one chunk, and stops
// reading while it cannot pass it on.
class TlsTunnel : public QObject
{
public:
    TlsTunnel(TlsListener &listener, SSL *ssl, int client);
    ~TlsTunnel() override;

    void pump();
    // The handshake took too long, or the client does not read.
    void timeOut();
    // Closes both descriptors at once; the object goes once the event that
    // led here is handled.
    void finish();
    // The same to make room: one that lingers has what arrived read first,
    // so closing it resets nothing.
    void shed();

    QString clientAddress; // handed to the plain side (Net::ClientAddressProperty)
    // Before the handshake: a PROXY header to read (from a trusted proxy), or
    // none to allow (from anyone else); Handshake when neither.
    enum class ProxyStep { None, Header, NoHeader } proxy = ProxyStep::None;
    quint64 deadlineKey = 0; // its key in the listener's m_timed, 0 when none
    qint64 deadlineMs = 0;
    std::pair<qint64, quint64> lingerKey; // its key in the listener's m_lingering, {0, 0} when none
    qint64 lingerStartMs = 0, lastInputMs = 0;

private:
    enum class Stage { Handshake, Open, Closing, Closed };

    // The PROXY header's part, before the handshake: true to go on to it.
    bool readProxyHeader();
    bool handshake();
    void relay();
    void closeTowardsClient();
    void discardInput();
    // What the last call on the TLS connection waits for; false when it failed.
    bool waitFor(int sslResult);
    void watch(QSocketNotifier *&notifier, int fd, QSocketNotifier::Type type, bool on);

    TlsListener &m_listener;
    SSL *m_ssl;
    int m_client;
    int m_agent = -1; // our end of the socket pair
    Stage m_stage = Stage::Handshake;
    QByteArray m_proxyHeader; // what of a PROXY header has been read so far
    QByteArray m_toAgent, m_toClient;
    int m_toAgentSent = 0;
    bool m_clientEnded = false, m_agentEnded = false;
    bool m_agentGone = false; // the agent stopped reading: the client's input is not read until closing
    bool m_wantsRead = false, m_wantsWrite = false; // of the TLS connection
    bool m_corked = false;
    QSocketNotifier *m_clientRead = nullptr, *m_clientWrite = nullptr;
    QSocketNotifier *m_agentRead = nullptr, *m_agentWrite = nullptr;
};

TlsTunnel::TlsTunnel(TlsListener &listener, SSL *ssl, int client)
    : QObject(&listener), m_listener(listener), m_ssl(ssl), m_client(client)
{ }

TlsTunnel::~TlsTunnel()
{
    SSL_free(m_ssl);
    if (m_client >= 0)
        ::close(m_client);
    if (m_agent >= 0)
        ::close(m_agent);
}

void TlsTunnel::watch(QSocketNotifier *&notifier, int fd, QSocketNotifier::Type type, bool on)
{
    if (!notifier) {
        if (!on)
            return;
        notifier = new QSocketNotifier(fd, type, this);
        connect(notifier, &QSocketNotifier::activated, this, &TlsTunnel::pump);
    }
    if (notifier->isEnabled() != on)
        notifier->setEnabled(on);
}

bool TlsTunnel::waitFor(int sslResult)
{
    switch (SSL_get_error(m_ssl, sslResult)) {
    case SSL_ERROR_WANT_READ:
        m_wantsRead = true;
        return true;
    case SSL_ERROR_WANT_WRITE:
        m_wantsWrite = true;
        return true;
    default:
        ERR_clear_error();
        return false;
    }
}

void TlsTunnel::pump()
{
    m_wantsRead = m_wantsWrite = false;
    if (m_stage == Stage::Handshake && (proxy == ProxyStep::None || readProxyHeader()) && handshake())
        relay();
    else if (m_stage == Stage::Open)
        relay();
    else if (m_stage == Stage::Closing)
        discardInput();
    if (m_stage == Stage::Closed)
        return;
    const bool open = m_stage == Stage::Open;
    // A client that does not read what it is sent is given the request
    // time-out, as one that does not send; no progress later undoes it.
    if (open && m_wantsWrite && deadlineKey == 0)
        m_listener.startDeadline(this);
    watch(m_clientRead, m_client, QSocketNotifier::Read, m_wantsRead || m_stage == Stage::Closing);
    watch(m_clientWrite, m_client, QSocketNotifier::Write, m_wantsWrite);
    watch(m_agentRead, m_agent, QSocketNotifier::Read, open && m_toClient.isEmpty() && !m_agentEnded);
    watch(m_agentWrite, m_agent, QSocketNotifier::Write, open && !m_toAgent.isEmpty());
}

// Peeked, never read past its end: what follows is the client's TLS, which
// OpenSSL reads from the descriptor itself. Bytes of a header not yet whole
// are all header, so they are taken out of the socket and kept here (else the
// socket would stay readable and the event loop spin on it).
bool TlsTunnel::readProxyHeader()
{
    char peeked[Proxy::MaxHeaderBytes];
    const ssize_t n = ::recv(m_client, peeked, sizeof peeked - size_t(m_proxyHeader.size()), MSG_PEEK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        m_wantsRead = true;
        return false;
    }
    const QByteArray head = m_proxyHeader + QByteArray(peeked, int(qMax<ssize_t>(n, 0)));
    if (head.isEmpty()) { // closed before a byte: the handshake fails as on any connection
        proxy = ProxyStep::None;
        return true;
    }
    if (proxy == ProxyStep::NoHeader) {
        // Nothing that begins like a header can be TLS: a partial one is refused too.
        if (!Proxy::startsLikeHeader(head) && !QByteArrayLiteral("PROXY ").startsWith(head)) {
            proxy = ProxyStep::None;
            return true;
        }
        Net::tellProxyRefused(clientAddress, nullptr);
    } else {
        const Proxy::Parsed parsed = Proxy::parse(head);
        if (parsed.status == Proxy::Status::NeedMore && n > 0) {
            // What was peeked is there to take; a reset in between takes nothing, and a length of -1 would
            // read the buffer as a C string.
            const ssize_t taken = ::recv(m_client, peeked, size_t(n), 0);
            m_proxyHeader += QByteArray(peeked, int(qMax<ssize_t>(taken, 0)));
            m_wantsRead = true;
            return false;
        }
        if (parsed.status == Proxy::Status::Done) {
            [[maybe_unused]] const ssize_t dropped
                = ::recv(m_client, peeked, size_t(parsed.consumed - m_proxyHeader.size()), 0);
            if (parsed.header.kind == Proxy::Header::Kind::Proxy)
                clientAddress = Net::unmapped(parsed.header.source).toString();
            m_proxyHeader.clear();
            proxy = ProxyStep::None;
            return true;
        }
        Net::tellProxyRefused(clientAddress, &parsed, n <= 0);
    }
    ++m_listener.m_counters.proxyRefused;
    finish();
    return false;
}

bool TlsTunnel::handshake()
{
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    if (result != 1) {
        if (!waitFor(result)) {
            ++m_listener.m_counters.failed;
            finish();
        }
        return false;
    }
    ++m_listener.m_counters.handshakes;
    if (SSL_session_reused(m_ssl))
        ++m_listener.m_counters.resumed;
    m_listener.stopDeadline(this);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        finish(); // out of descriptors: the client sees the connection close
        return false;
    }
    auto *socket = new QTcpSocket(&m_listener);
    if (!socket->setSocketDescriptor(pair[0])) {
        ::close(pair[0]);
        ::close(pair[1]);
        delete socket;
        finish();
        return false;
    }
    m_agent = pair[1];
    m_stage = Stage::Open;
    socket->setProperty(Net::ClientAddressProperty, clientAddress);
    m_listener.offer(socket);
    return true;
}

// Both directions, until neither moves.
void TlsTunnel::relay()
{
    char chunk[Tls::ChunkBytes];
    for (bool moved = true; moved && m_stage == Stage::Open;) {
        moved = false;
        m_wantsRead = m_wantsWrite = false;
        if (m_toAgent.isEmpty() && !m_clientEnded && !m_agentGone) {
            ERR_clear_error();
            const int n = SSL_read(m_ssl, chunk, sizeof chunk);
            if (n > 0) {
                m_toAgent = QByteArray(chunk, n);
                m_toAgentSent = 0;
                moved = true;
            } else if (SSL_get_error(m_ssl, n) == SSL_ERROR_ZERO_RETURN) {
                // The client is done sending (close_notify, or a plain end of
                // the stream): the agent reads the end of its input.
                m_clientEnded = moved = true;
                ::shutdown(m_agent, SHUT_WR);
            } else if (!waitFor(n)) {
                return finish();
            }
        }
        if (!m_toAgent.isEmpty()) {
            const ssize_t n = ::send(m_agent, m_toAgent.constData() + m_toAgentSent,
                size_t(m_toAgent.size() - m_toAgentSent), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                m_toAgentSent += int(n);
                if (m_toAgentSent == m_toAgent.size())
                    m_toAgent.clear();
                moved = true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
                m_toAgent.clear(); // the agent closed its end: nothing more goes to it
                m_agentGone = moved = true;
            }
        }
        if (m_toClient.isEmpty() && !m_agentEnded) {
            const ssize_t n = ::recv(m_agent, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) {
                m_toClient = QByteArray(chunk, int(n));
                moved = true;
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                m_agentEnded = moved = true;
            }
        }
        if (!m_toClient.isEmpty()) {
            // The answer, close_notify and the end of the stream in one segment
            // when the agent closes at once, as it does after an answer.
            if (!m_corked)
                Net::cork(m_client, m_corked = true);
            ERR_clear_error();
            const int n = SSL_write(m_ssl, m_toClient.constData(), m_toClient.size());
            if (n > 0) {
                m_toClient.remove(0, n);
                moved = true;
            } else if (!waitFor(n)) {
                return finish();
            }
        }
        if (m_agentEnded && m_toClient.isEmpty())
            closeTowardsClient();
    }
    if (m_corked && m_stage == Stage::Open) // more may follow later: what was written goes now
        Net::cork(m_client, m_corked = false);
}

// The agent answered and shut its end: close_notify goes out after the
// answer, and the sending side is shut. Whatever the client still sends is
// read and dropped until it closes, as on the plain port and within the same
// limits, so the system does not reset the connection and throw the answer
// away on its way out.
void TlsTunnel::closeTowardsClient()
{
    ERR_clear_error();
    SSL_shutdown(m_ssl); // one attempt: a client that does not read gets no close_notify
    ERR_clear_error();
    ::shutdown(m_client, SHUT_WR);
    for (QSocketNotifier *notifier : {m_agentRead, m_agentWrite}) {
        if (notifier)
            notifier->setEnabled(false);
    }
    ::close(m_agent);
    m_agent = -1;
    if (m_clientEnded)
        return finish();
    m_stage = Stage::Closing;
    m_listener.startLinger(this);
}

void TlsTunnel::discardInput()
{
    char chunk[Tls::ChunkBytes];
    ssize_t n;
    bool dropped = false;
    while ((n = ::recv(m_client, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        dropped = true;
    if (dropped)
        lastInputMs = m_listener.m_sweep.now();
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
        finish();
}

void TlsTunnel::shed()
{
    if (m_stage == Stage::Closing)
        discardInput();
    finish();
}

void TlsTunnel::timeOut()
{
    if (m_stage == Stage::Handshake && proxy == ProxyStep::Header && !m_proxyHeader.isEmpty()) {
        const Proxy::Parsed partial; // still needing more
        Net::tellProxyRefused(clientAddress, &partial);
        ++m_listener.m_counters.proxyRefused;
    } else if (m_stage == Stage::Handshake) {
        ++m_listener.m_counters.timedOut;
    }
    finish();
}

void TlsTunnel::finish()
{
    if (m_stage == Stage::Closed)
        return;
    m_stage = Stage::Closed;
    for (QSocketNotifier *notifier : {m_clientRead, m_clientWrite, m_agentRead, m_agentWrite}) {
        if (notifier)
            notifier->setEnabled(false);
    }
    ::close(m_client);
    m_client = -1;
    if (m_agent >= 0)
        ::close(m_agent);
    m_agent = -1;
    m_listener.closed(this);
    deleteLater();
}

// ---- Credentials -------------------------------------------------------------

namespace {

using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
using PrivateKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

// A key under a pass phrase is refused, not asked for on the terminal.
int noPassPhrase(char *, int, int, void *)
{
    return -1;
}

bool readFile(const QString &path, const QString &what, QByteArray *contents, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the %1 %2: %3").arg(what, path, file.errorString());
        return false;
    }
    *contents = file.readAll();
    return true;
}

Bio memoryBio(const QByteArray &pem)
{
    return Bio(BIO_new_mem_buf(pem.constData(), pem.size()), &BIO_free);
}

// Every setting but the credentials. TLS 1.2 offers ECDHE with AES-GCM or
// ChaCha20 only; TLS 1.3's suites are all forward secret.
SSL_CTX *newContext()
{
    SSL_CTX *context = SSL_CTX_new(TLS_server_method());
    if (!context)
        return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context, "ECDHE+AESGCM:ECDHE+CHACHA20");
    // A peer that ends the stream without close_notify ends its input, as on
    // the plain port; requests are framed by their line feed, not by the end.
    SSL_CTX_set_options(context,
        SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF
            | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    SSL_CTX_sess_set_cache_size(context, Tls::SessionCacheSize);
    SSL_CTX_set_timeout(context, Tls::SessionLifetimeS);
    static const unsigned char sessionContext[] = "tovr_merk https";
    SSL_CTX_set_session_id_context(context, sessionContext, sizeof sessionContext - 1);
    // One ticket a connection: a client that resumes uses one.
    SSL_CTX_set_num_tickets(context, 1);
    return context;
}

// A new context with the certificate, chain and key of another: new ticket
// keys and an empty session cache.
SSL_CTX *copyContext(SSL_CTX *from)
{
    SSL_CTX *context = newContext();
    STACK_OF(X509) *chain = nullptr;
    SSL_CTX_get0_chain_certs(from, &chain);
    if (!context || SSL_CTX_use_certificate(context, SSL_CTX_get0_certificate(from)) != 1
        || SSL_CTX_use_PrivateKey(context, SSL_CTX_get0_privatekey(from)) != 1
        || SSL_CTX_set1_chain(context, chain) != 1) {
        SSL_CTX_free(context);
        ERR_clear_error();
        return nullptr;
    }
    return context;
}

} // namespace

// ---- The listener ------------------------------------------------------------

TlsListener::TlsListener(const Http::Limits &limits, QObject *parent)
    : QTcpServer(parent), m_limits(limits),
      m_cap(qMax(1,
          qMin(limits.maxConnections,
              (Net::descriptorLimit() - Net::DescriptorReserve) / Tls::DescriptorsPerConnection)))
{
    m_sweep.onDue(this, &TlsListener::sweep);
    m_renewal.setInterval(Tls::TicketKeyLifetimeMs);
    connect(&m_renewal, &QTimer::timeout, this, &TlsListener::renewContext);
}

TlsListener::~TlsListener()
{
    SSL_CTX_free(m_context);
}

bool TlsListener::loadCredentials(const QString &certificatePath, const QString &keyPath, QString *error)
{
    QByteArray pem;
    if (!readFile(certificatePath, QStringLiteral("certificate"), &pem, error))
        return false;
    Bio certificates = memoryBio(pem);
    Certificate leaf(PEM_read_bio_X509(certificates.get(), nullptr, noPassPhrase, nullptr), &X509_free);
    if (!leaf) {
        ERR_clear_error();
        *error = QStringLiteral("%1 holds no PEM certificate").arg(certificatePath);
        return false;
    }
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(newContext(), &SSL_CTX_free);
    if (!context || SSL_CTX_use_certificate(context.get(), leaf.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("OpenSSL does not take the certificate %1").arg(certificatePath);
        return false;
    }
    // The rest of the file is the chain towards the authority, in order.
    ERR_clear_error();
    while (X509 *link = PEM_read_bio_X509(certificates.get(), nullptr, noPassPhrase, nullptr)) {
        if (SSL_CTX_add0_chain_cert(context.get(), link) != 1) {
            X509_free(link);
            break;
        }
    }
    const unsigned long end = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_LIB(end) != ERR_LIB_PEM || ERR_GET_REASON(end) != PEM_R_NO_START_LINE) {
        *error = QStringLiteral("%1 holds a certificate after the first that does not read")
                     .arg(certificatePath);
        return false;
    }

    if (!readFile(keyPath, QStringLiteral("key"), &pem, error))
        return false;
    PrivateKey key(
        PEM_read_bio_PrivateKey(memoryBio(pem).get(), nullptr, noPassPhrase, nullptr), &EVP_PKEY_free);
    const int type = key ? EVP_PKEY_get_base_id(key.get()) : EVP_PKEY_NONE;
    if (type != EVP_PKEY_RSA && type != EVP_PKEY_EC) {
        ERR_clear_error();
        *error = QStringLiteral("%1 holds no unencrypted PEM RSA or EC private key").arg(keyPath);
        return false;
    }
    if (SSL_CTX_use_PrivateKey(context.get(), key.get()) != 1
        || SSL_CTX_check_private_key(context.get()) != 1) {
        ERR_clear_error();
        *error = QStringLiteral("the key %1 does not belong to the certificate %2")
                     .arg(keyPath, certificatePath);
        return false;
    }
    useContext(context.release());
    return true;
}

// Connections that hold the old context (each holds a reference) finish on it.
void TlsListener::useContext(ssl_ctx_st *context)
{
    SSL_CTX_free(m_context);
    m_context = context;
    m_renewal.start();
}

void TlsListener::renewContext()
{
    if (SSL_CTX *context = copyContext(m_context))
        useContext(context);
}

void TlsListener::incomingConnection(qintptr descriptor)
{
    const int fd = int(descriptor);
    SSL *ssl = m_context ? SSL_new(m_context) : nullptr;
    if (!ssl || (m_connections >= m_cap && !shedOldest())) {
        ERR_clear_error();
        SSL_free(ssl);
        ::close(fd);
        ++m_counters.shed;
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    // The answer goes out behind the session ticket, still unacknowledged.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    SSL_set_fd(ssl, fd);
    SSL_set_accept_state(ssl);
    auto *tunnel = new TlsTunnel(*this, ssl, fd);
    sockaddr_storage peer {};
    socklen_t peerLength = sizeof peer;
    QHostAddress client;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peerLength) == 0)
        client = Net::unmapped(QHostAddress(reinterpret_cast<const sockaddr *>(&peer)));
    tunnel->clientAddress = client.toString();
    if (m_proxyTrusted)
        tunnel->proxy = m_proxyTrusted->contains(client) ? TlsTunnel::ProxyStep::Header
                                                         : TlsTunnel::ProxyStep::NoHeader;
    ++m_connections;
    startDeadline(tunnel);
    tunnel->pump(); // the client's hello is often in already
}

void TlsListener::offer(QTcpSocket *socket)
{
    addPendingConnection(socket);
    emit newConnection();
}

void TlsListener::closed(TlsTunnel *tunnel)
{
    stopDeadline(tunnel);
    m_lingering.erase(tunnel->lingerKey);
    --m_connections;
}

void TlsListener::startDeadline(TlsTunnel *tunnel)
{
    stopDeadline(tunnel);
    tunnel->deadlineKey = ++m_lastStarted;
    tunnel->deadlineMs = m_sweep.now() + m_limits.requestTimeoutMs;
    m_timed.emplace(tunnel->deadlineKey, tunnel);
    m_sweep.arm(tunnel->deadlineMs);
}

void TlsListener::stopDeadline(TlsTunnel *tunnel)
{
    m_timed.erase(tunnel->deadlineKey);
    tunnel->deadlineKey = 0;
}

void TlsListener::startLinger(TlsTunnel *tunnel)
{
    stopDeadline(tunnel);
    const qint64 now = m_sweep.now();
    tunnel->lingerStartMs = tunnel->lastInputMs = now;
    tunnel->lingerKey
        = {Http::lingerEndMs(now, now, m_limits.lingerMs, m_limits.lingerIdleMs), ++m_lastStarted};
    m_lingering.emplace(tunnel->lingerKey, tunnel);
    m_sweep.arm(tunnel->lingerKey.first);
}

// One timer for every time-out, as for the plain connections: the request
// time-outs all have one length, so they end in the order they started; a
// lingering tunnel's end moves with its input, and is worked out when the end
// it was filed under comes.
void TlsListener::sweep()
{
    const qint64 now = m_sweep.now();
    while (!m_timed.empty() && m_timed.begin()->second->deadlineMs <= now)
        m_timed.begin()->second->timeOut();
    while (!m_lingering.empty() && m_lingering.begin()->first.first <= now) {
        TlsTunnel *tunnel = m_lingering.begin()->second;
        m_lingering.erase(m_lingering.begin());
        tunnel->lingerKey.first = Http::lingerEndMs(
            tunnel->lingerStartMs, tunnel->lastInputMs, m_limits.lingerMs, m_limits.lingerIdleMs);
        if (tunnel->lingerKey.first > now)
            m_lingering.emplace(tunnel->lingerKey, tunnel);
        else
            tunnel->finish();
    }
    qint64 next = m_lingering.empty() ? -1 : m_lingering.begin()->first.first;
    if (!m_timed.empty()) {
        const qint64 deadline = m_timed.begin()->second->deadlineMs;
        next = next < 0 ? deadline : qMin(next, deadline);
    }
    if (next >= 0) {
        m_sweep.restart(next);
    }
}

// Makes room: a tunnel that lingers after its answer, the one closest to its
// end, else the one that has been handshaking, or not reading, the longest;
// one that relays a request is the plain connections' to shed.
bool TlsListener::shedOldest()
{
    const bool lingering = !m_lingering.empty();
    TlsTunnel *tunnel = lingering ? m_lingering.begin()->second
        : !m_timed.empty()        ? m_timed.begin()->second
                                  : nullptr;
    if (!tunnel)
        return false;
    // A lingering tunnel's handshake is counted already, as full or resumed.
    if (!lingering)
        ++m_counters.shed;
    tunnel->shed();
    return true;
}
