#include "server.h"
#include "checkbackend.h"
#include "checkservice.h"
#include "debugoutput.h"
#include "eventlog.h"
#include "metrics.h"
#include "operatorbox.h"
#include "panelfeed.h"
#include "signalbridge.h"

#include "audit/auditlog.h"
#include "crypto/aescipher.h"
#include "db/sqlrules.h"
#include "net/addressblocks.h"
#include "net/adminendpoint.h"
#include "net/authendpoint.h"
#include "net/httpendpoint.h"
#include "net/listeners.h"
#include "net/tlslistener.h"
#include "net/wiretext.h"
#include "service/systemdnotify.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHash>
#include <QLabel>
#include <QMessageBox>
#include <QMetaMethod>
#include <QNetworkConfigurationManager>
#include <QNetworkInterface>
#include <QNetworkSession>
#include <QPushButton>
#include <QSettings>
#include <QSpacerItem>
#include <QSqlError>
#include <QStyleHints>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>

#include <sys/stat.h>

namespace {
// One answer as the audit log writes it.
Audit::Record auditRecord(const HttpEndpoint::Decision &decision, bool withUserId)
{
    using Decision = HttpEndpoint::Decision;
    static const QHash<int, Audit::Verdict> verdicts {{int(Decision::Verdict::Exist), Audit::Verdict::Exist},
        {int(Decision::Verdict::NotFound), Audit::Verdict::NotFound},
        {int(Decision::Verdict::Unavailable), Audit::Verdict::Unavailable},
        {int(Decision::Verdict::Refused), Audit::Verdict::Refused}};
    static const QHash<int, Audit::Source> sources {
        {int(Decision::Source::Database), Audit::Source::Database},
        {int(Decision::Source::Cache), Audit::Source::Cache},
        {int(Decision::Source::Stale), Audit::Source::Stale},
        {int(Decision::Source::Throttle), Audit::Source::Throttle},
        {int(Decision::Source::Request), Audit::Source::Request}};
    Audit::Record record;
    record.time = QDateTime::currentDateTimeUtc();
    record.client = decision.origin.client.toString();
    record.listener = decision.origin.listener;
    record.user = decision.user;
    record.verdict = verdicts.value(int(decision.verdict));
    record.source = sources.value(int(decision.source));
    record.ms = double(decision.origin.since.nsecsElapsed()) / 1e6;
    if (withUserId)
        record.userId = decision.userId;
    return record;
}

// A list of address blocks as the settings hold it; one that does not read
// was said at start, and holds nobody.
Net::AddressBlocks addressBlocks(const QStringList &list)
{
    return Net::AddressBlocks::parse(list.join(QLatin1Char(',')), nullptr).value_or(Net::AddressBlocks());
}
} // namespace

Server::Server(QWidget *parent) : Server(AgentLimits(), RunMode(), parent)
{ }

Server::Server(const AgentLimits &agentLimits, RunMode runMode, QWidget *parent)
    : QDialog(parent), statusLabel(new QLabel), mode(runMode), limits(agentLimits)
{
    notifier = new SystemdNotifier(this);
    if (SignalBridge *bridge = SignalBridge::instance()) {
        connect(bridge, &SignalBridge::terminationRequested, this, &Server::terminate);
        connect(bridge, &SignalBridge::reloadRequested, this, &Server::reload);
    }
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    statusLabel->setTextInteractionFlags(Qt::TextBrowserInteraction);

    logFile = new QFile(QStringLiteral("./debug-log.txt"));
    logFile->open(QIODevice::WriteOnly); // a log that cannot be written is not a reason to stop
    const auto stream = std::make_unique<QTextStream>(logFile);
    logStream = stream.get();
    writeLogLine(QStringLiteral("[i] Logger start."));

    auto *quitButton = new QPushButton(tr("Quit"));
    quitButton->setAutoDefault(false);
    connect(quitButton, &QPushButton::clicked, this, &QWidget::close);

    auto *buttonLayout = new QHBoxLayout;
    buttonLayout->addStretch(1);
    buttonLayout->addWidget(quitButton);
    buttonLayout->addStretch(1);

    QVBoxLayout *mainLayout = nullptr;
    const QStyleHints *hints = QGuiApplication::styleHints();
    if (hints->showIsFullScreen() || hints->showIsMaximized()) {
        auto *outerVerticalLayout = new QVBoxLayout(this);
        outerVerticalLayout->addItem(
            new QSpacerItem(0, 0, QSizePolicy::Ignored, QSizePolicy::MinimumExpanding));
        auto *outerHorizontalLayout = new QHBoxLayout;
        outerHorizontalLayout->addItem(
            new QSpacerItem(0, 0, QSizePolicy::MinimumExpanding, QSizePolicy::Ignored));
        auto *groupBox = new QGroupBox(QGuiApplication::applicationDisplayName());
        mainLayout = new QVBoxLayout(groupBox);
        outerHorizontalLayout->addWidget(groupBox);
        outerHorizontalLayout->addItem(
            new QSpacerItem(0, 0, QSizePolicy::MinimumExpanding, QSizePolicy::Ignored));
        outerVerticalLayout->addLayout(outerHorizontalLayout);
        outerVerticalLayout->addItem(
            new QSpacerItem(0, 0, QSizePolicy::Ignored, QSizePolicy::MinimumExpanding));
    } else {
        mainLayout = new QVBoxLayout(this);
    }
    mainLayout->addWidget(statusLabel);
    mainLayout->addLayout(buttonLayout);
    logPanel = new QTextEdit(this);
    mainLayout->addWidget(logPanel);
    panelFeed = new PanelFeed(logPanel, limits.panel, this);

    setWindowTitle(QGuiApplication::applicationDisplayName());

    readSettings();
    reportConfiguration();
    if (mode.headless && !findings.secretProblem.isEmpty())
        failStart(QStringLiteral("[-] the database password cannot be read: ") + findings.secretProblem);

    // The units the slots hand their work to. They do nothing until the
    // listeners and the database exist.
    const AgentLimits base = limits;
    limits = limitsFor(config, base);
    backends = new CheckBackends(std::make_shared<CheckBackend>(config, limits, *panelFeed), this);
    http = new HttpEndpoint(*backends, limits.http, limits.throttle, config.httpUnavailable, this);
    tellThrottling(http->throttle(), QStringLiteral("for user %1"), &AgentLimits::throttle);
    tellThrottling(http->gate().clientThrottle(), QStringLiteral("from %1"), &AgentLimits::clientThrottle);
    http->gate().setDecisionHandler([this](const HttpEndpoint::Decision &decision) {
        if (audit)
            audit->write(auditRecord(decision, config.logAuditUserId));
    });
    applyAuditAndThrottle();
    boxes = std::make_unique<Operator::Boxes>(this);
    lookups = new LookupQueue(*boxes, *backends, limits.lookup, this);

    if (!ending())
        testCipher();
    if (!ending())
        requestConfig();
    if (!ending())
        openNetwork();
    if (!ending())
        startAdmin();
    if (!ending())
        openDatabase();

    logStream = nullptr; // the stream dies with the constructor; nothing writes the file later
    if (ending())
        return;
    started = true;
    tellReady();
    if (notifier->enabled()) {
        auto *status = new QTimer(this);
        connect(status, &QTimer::timeout, this, [this] { notifier->status(serviceStatus()); });
        status->start(ServiceStatusMs);
    }
    if (reloadWaiting) // a SIGHUP during start-up
        QTimer::singleShot(0, this, &Server::reloadNow);
}

Server::~Server()
{
    delete logFile;
    delete aes; // lives as long as the dialog, which lives until the process ends; wipes the key
}

void Server::closeEvent(QCloseEvent *)
{
    notifier->stopping();
    writeSettings();
}

void Server::readSettings()
{
    config = Settings::read(Settings::IniPath, &findings);
}

void Server::writeSettings()
{
    // The framework's per-user store, not the INI file: the INI is only ever
    // read. It holds the database password and the cipher key, so it is the
    // owner's alone: created so (umask) and kept so (an older file).
    const mode_t umask = ::umask(077);
    QSettings store;
    store.beginGroup(QStringLiteral("MainWindow"));
    store.setValue(QStringLiteral("size"), size());
    store.setValue(QStringLiteral("pos"), pos());
    store.endGroup();
    Settings::write(config, store);
    store.sync();
    ::umask(umask);
    QFile::setPermissions(store.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void Server::reportConfiguration()
{
    findings.driver = config.sqlType;
    findings.availableDrivers = QSqlDatabase::drivers();
    findings.missingPlaceholders
        = Sql::missingCheckPlaceholders(config.sqlQuery, config.sqlPasswordColumn.isEmpty());
    for (const QString &line : Settings::problems(findings)) {
        qWarning().noquote() << line;
        appendLogPanel(line);
    }
}

void Server::reload()
{
    if (reloadWaiting)
        return; // one is on its way, and reads the file as it is then
    reloadWaiting = true;
    if (!started)
        return; // served once start-up is done
    const qint64 since = lastReload.isValid() ? lastReload.elapsed() : qint64(ReloadCoalesceMs);
    QTimer::singleShot(int(qMax<qint64>(0, ReloadCoalesceMs - since)), this, &Server::reloadNow);
}

// Everything is checked before anything changes: a refused configuration
// leaves the one in use whole. The TLS pair is loaded last, as it takes
// effect when it loads.
void Server::reloadNow()
{
    // Each replaced backend keeps its connections until its checks are
    // answered: while a stalled database holds them, reloads wait rather than
    // open more.
    if (backends->retiring() >= CheckBackends::MaxRetiring) {
        QTimer::singleShot(CheckBackends::RetiredCheckMs, this, &Server::reloadNow);
        return;
    }
    reloadWaiting = false;
    lastReload.start();
    notifier->reloading();
    const auto say = [this](const QString &line, bool failure) {
        if (failure)
            qWarning().noquote() << line;
        else
            qDebug().noquote() << line;
        writeLogLine(line);
        appendLogPanel(line);
    };

    Settings::Findings found;
    AgentConfig next = Settings::read(Settings::IniPath, &found);
    found.driver = next.sqlType;
    found.availableDrivers = QSqlDatabase::drivers();
    found.missingPlaceholders
        = Sql::missingCheckPlaceholders(next.sqlQuery, next.sqlPasswordColumn.isEmpty());
    // A problem the configuration in use has too is not the new file's fault:
    // an agent started on a lookup statement reloads it as it is.
    QStringList refused = Settings::refusals(found);
    for (const QString &known : Settings::refusals(findings))
        refused.removeAll(known);
    if (found.iniReadable && !found.iniEmpty)
        refused << Settings::keysGone(findings, found);
    if (refused.isEmpty() && httpsServer) {
        QString error;
        if (httpsServer->loadCredentials(next.httpsCertificate, next.httpsKey, &error)) {
            say(QStringLiteral("[+] the HTTPS certificate and key are read again; new connections get them"),
                false);
        } else {
            say(QStringLiteral(
                    "[-] the HTTPS certificate and key are not read again, the pair in use stays: ")
                    + error,
                true);
            refused << QStringLiteral("https/certificate and https/key do not load");
        }
    }
    if (!refused.isEmpty()) {
        for (const QString &why : qAsConst(refused))
            say(QStringLiteral("[e] reload refused, the configuration in use stays: ") + why, true);
        if (audit && audit->isOpen()) // logrotate's SIGHUP: the log moves on all the same
            audit->reopen();
        notifier->ready(serviceStatus());
        return;
    }

    // What is bound or sent at start only stays as it is until a restart.
    for (const QString &name : Settings::readAtStartOnly(config, next)) {
        if (name != QLatin1String("app/key2")) // a random key differs at every reading
            say(QStringLiteral("[i] reload: %1 changed; it takes effect at a restart").arg(name), false);
    }
    Settings::keepStartOnly(config, next);

    const AgentLimits nextLimits = limitsFor(next, limits);
    CheckBackend &old = backend();
    const int cached = old.cache ? old.cache->flush() : 0;
    if (old.cache)
        say(QStringLiteral("[i] the verdict cache is emptied: %1 entries").arg(cached), false);
    if (!CheckBackend::sameFor(config, next)) {
        auto successor = std::make_shared<CheckBackend>(next, nextLimits, *panelFeed);
        db = QSqlDatabase(); // the old connection gives up its name to the new one
        old.releaseConnection();
        db = successor->connect();
        backends->replace(std::move(successor));
        say(QStringLiteral("[i] reload: checks from now on run on the new sql/ and cache/ settings; those "
                           "under way finish on the old ones"),
            false);
    }
    http->throttle().setLimits(nextLimits.throttle);
    http->setAnswerUnavailable(next.httpUnavailable);
    if (auth)
        auth->configure(next.authRealm, addressBlocks(next.authTrustedProxies));
    limits = nextLimits;
    config = next;
    applyAuditAndThrottle();
    findings = found;
    reportConfiguration();
    say(QStringLiteral("[+] tovr_merk.ini is read again"), false);
    notifier->ready(serviceStatus());
}

void Server::tellThrottling(
    CheckThrottle &throttle, const QString &whose, Throttle::Limits AgentLimits::*rules)
{
    connect(&throttle, &CheckThrottle::throttlingStarted, this,
        [this, whose, rules](const QString &key, int failures) {
            // In one pass: a "%1" in a user name stays as it is.
            const QString line = QStringLiteral("[i] checks %1 now wait: %2 not-found answers within %3 s")
                                     .arg(whose.arg(key), QString::number(failures),
                                         QString::number((limits.*rules).windowMs / 1000));
            qDebug().noquote() << line;
            appendLogPanel(line);
        });
}

void Server::applyAuditAndThrottle()
{
    http->gate().setClientThrottle(limits.clientThrottle,
        Net::AddressBlocks::parse(config.httpThrottleExempt.join(QLatin1Char(',')), nullptr)
            .value_or(Net::AddressBlocks()));
    if (!audit && config.logAudit.isEmpty())
        return;
    if (!audit) // kept from then on: its count of dropped lines goes on
        audit = new AuditLog(limits.audit, this);
    if (config.logAudit.isEmpty())
        return audit->close();
    if (audit->isOpen() && audit->path() == config.logAudit)
        return audit->reopen(); // logrotate may have moved it
    if (!audit->open(config.logAudit))
        qWarning().noquote() << QStringLiteral(
            "[e] audit: %1 cannot be opened: %2; tried again for every line")
                                    .arg(config.logAudit, audit->errorString());
}

Net::AddressBlocks Server::trustedProxies() const
{
    // A list that does not read was said at start: it trusts nobody.
    return Net::AddressBlocks::parse(config.httpTrustedProxies.join(QLatin1Char(',')), nullptr)
        .value_or(Net::AddressBlocks());
}

void Server::failStart(const QString &line)
{
    qCritical().noquote() << line;
    writeLogLine(line);
    m_exitCode = StartFailedExitCode;
    close();
    // Past start-up (a network session opened late) the main loop runs; in
    // the constructor, main() sees exitCode().
    QCoreApplication::exit(m_exitCode);
}

void Server::tellOperator(const QString &text)
{
    if (mode.headless)
        Operator::sayBox(QMessageBox::Critical, text);
    else
        Operator::showBox(this, QMessageBox::Critical, text);
}

QString Server::serviceStatus() const
{
    const ServerSet *servers = backend().servers.get();
    const int inUse = servers ? servers->inUse() : -1;
    return statusLabel->text() + QLatin1Char('\n')
        + (executor().answering() ? QStringLiteral("database answering")
                                  : QStringLiteral("database not answering"))
        + (inUse >= 0 ? QStringLiteral(" on ") + servers->entries().at(inUse).name() : QString());
}

// Once the listeners listen and the database step has ended, whichever
// comes last (a network session may open the listeners later).
void Server::tellReady()
{
    if (started && httpServer && httpServer->isListening())
        notifier->ready(serviceStatus());
}

void Server::terminate()
{
    if (terminating)
        return;
    terminating = true;
    DebugOutput::flush();
    close();
    // A message box still open keeps the application alive after the window
    // closes; exit() ends its loop and every other one, the main loop included.
    QCoreApplication::exit(0);
}

// ---- Slots -------------------------------------------------------------------

void Server::sessionOpened()
{
    Net::rememberSessionConfiguration(networkSession);
    startListeners();
}

void Server::sendFortune()
{
    lookups->takeNext();
}

void Server::httpNewConnection()
{
    // Connected to the slot registered under its signature, looked up by that
    // text once rather than parsed again for every connection.
    static const QMetaMethod readyRead = QMetaMethod::fromSignal(&QIODevice::readyRead);
    static const QMetaMethod readClient = staticMetaObject.method(
        staticMetaObject.indexOfSlot(QMetaObject::normalizedSignature("slotReadClient()")));
    if (QTcpSocket *socket = http->accept(httpServer))
        connect(socket, readyRead, this, readClient);
}

void Server::slotReadClient()
{
    http->serve(qobject_cast<QTcpSocket *>(sender()));
}

// ---- Start-up steps ------------------------------------------------------------

// The network-session classes are deprecated in Qt 5.15 and gone in Qt 6; they
// still decide, on platforms that need a bearer, when the listeners may start.
void Server::openNetwork()
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QNetworkConfigurationManager manager;
    if (!(manager.capabilities() & QNetworkConfigurationManager::NetworkSessionRequired)) {
        sessionOpened();
        return;
    }

    QNetworkConfiguration network = manager.configurationFromIdentifier(Net::rememberedConfiguration());
    if ((network.state() & QNetworkConfiguration::Discovered) != QNetworkConfiguration::Discovered)
        network = manager.defaultConfiguration();

    networkSession = new QNetworkSession(network, this);
    connect(networkSession, &QNetworkSession::opened, this, &Server::sessionOpened);

    statusLabel->setText(tr("Opening network session."));
    networkSession->open();
    QT_WARNING_POP
}

void Server::startListeners()
{
    QString error;
    if (config.serverPort != 0) { // 0: no lookup listener, as a headless service wants
        tcpServer = new QTcpServer(this);
        connect(tcpServer, &QTcpServer::newConnection, this, &Server::sendFortune);
        lookups->attach(tcpServer);
        Net::keepAccepting(tcpServer);
        if (!Net::startListener(tcpServer, config.serverPort, &error, config.serverAddress)) {
            const QString line = Net::cannotListenLine(QStringLiteral("lookup"), config.serverPort, error);
            if (mode.headless)
                return failStart(line);
            qWarning().noquote() << line;
            Operator::showBox(this, QMessageBox::Critical, tr("Unable to start the server: %1.").arg(error));
            if (!terminating) // a termination signal during the box has closed the dialog already
                close();
            return;
        }
    }

    httpServer = new QTcpServer(this);
    // Connected by signature: the slot is looked up by its name at run time.
    connect(httpServer, SIGNAL(newConnection()), this, SLOT(httpNewConnection()));
    http->watch(httpServer);
    httpServer->setObjectName(QStringLiteral("http"));
    if (config.httpProxyProtocol)
        http->expectProxyHeaders(httpServer, trustedProxies());
    if (!Net::startListener(httpServer, config.httpPort, &error, config.httpAddress)) {
        qWarning() << tr("[-] Unable to start HTTP server: %1.").arg(error);
        const QString line = Net::cannotListenLine(QStringLiteral("HTTP"), config.httpPort, error);
        if (mode.headless)
            return failStart(line);
        qWarning().noquote() << line;
    } else {
        qDebug() << tr("[+] http start!");
    }

    startTls();
    if (ending())
        return;
    startAuth();
    if (ending())
        return;
    // A listener bound to one address (http/address, ...) is shown on it;
    // one on every address, on the machine's first.
    const QString machine = Net::statusAddress(QNetworkInterface::allAddresses());
    const auto shown = [&machine](const QString &bound) { return bound.isEmpty() ? machine : bound; };
    QString status = tcpServer ? tr("The APIB is running IP: %1 port: %2")
                                     .arg(shown(config.serverAddress))
                                     .arg(tcpServer->serverPort())
            + QLatin1Char('\n')
                               : QString();
    status += tr("The HTTP is running IP: %1 port: %2")
                  .arg(shown(config.httpAddress))
                  .arg(httpServer->serverPort());
    if (httpsServer)
        status += QLatin1Char('\n')
            + tr("The HTTPS is running IP: %1 port: %2")
                  .arg(shown(config.httpsAddress))
                  .arg(httpsServer->serverPort());
    if (authServer)
        status += QLatin1Char('\n')
            + tr("The auth listener is running IP: %1 port: %2")
                  .arg(shown(config.authAddress))
                  .arg(authServer->serverPort());
    statusLabel->setText(status);
    tellReady();
}

void Server::startTls()
{
    if (config.httpsPort == 0)
        return;
    auto *listener = new TlsListener(limits.http, this);
    listener->setObjectName(QStringLiteral("https"));
    if (config.httpsProxyProtocol)
        listener->expectProxyHeaders(trustedProxies());
    QString error;
    if (!listener->loadCredentials(config.httpsCertificate, config.httpsKey, &error)
        || !Net::startListener(listener, config.httpsPort, &error, config.httpsAddress)) {
        const QString line = QStringLiteral("[-] the HTTPS listener does not start: ") + error;
        delete listener;
        if (mode.headless)
            return failStart(line);
        qWarning().noquote() << line;
        writeLogLine(line);
        return;
    }
    httpsServer = listener;
    http->listenOn(httpsServer);
    qDebug().noquote() << QStringLiteral("[+] https start! port %1").arg(httpsServer->serverPort());
}

void Server::startAuth()
{
    if (config.authPort == 0)
        return;
    auto *listener = new QTcpServer(this);
    listener->setObjectName(QStringLiteral("auth"));
    auth = new AuthEndpoint(http->gate(), limits.auth, this);
    auth->configure(config.authRealm, addressBlocks(config.authTrustedProxies));
    auth->listenOn(listener);
    QString error;
    if (!Net::startListener(listener, config.authPort, &error, config.authAddress)) {
        const QString line = Net::cannotListenLine(QStringLiteral("auth"), config.authPort, error);
        if (mode.headless)
            return failStart(line);
        qWarning().noquote() << line;
        writeLogLine(line);
        return;
    }
    authServer = listener;
    qDebug().noquote() << QStringLiteral("[+] auth start! port %1").arg(authServer->serverPort());
}

void Server::openDatabase()
{
    writeLogLine(
        QStringLiteral("[e] QSqlDatabase::drivers=") + QSqlDatabase::drivers().join(QLatin1Char(',')));
    appendLogPanel(QStringLiteral("drivers=") + QSqlDatabase::drivers().join(QLatin1Char(',')));
    appendLogPanel(QStringLiteral("host = [") + config.sqlHost + QLatin1Char(']'));
    appendLogPanel(QStringLiteral("port = [") + QString::number(config.sqlPort) + QLatin1Char(']'));
    appendLogPanel(QStringLiteral("type = [") + config.sqlType + QLatin1Char(']'));

    db = backend().connect();

    appendLogPanel(QStringLiteral("db.hostName()=") + db.hostName());
    appendLogPanel(QStringLiteral("db.driverName()=") + db.driverName());
    appendLogPanel(QStringLiteral("db.connectOptions()=") + db.connectOptions());
    appendLogPanel(QStringLiteral("db.connectionName()=") + db.connectionName());
    appendLogPanel(QStringLiteral("db.databaseName()=") + backend().shownDsn);

    DebugOutput::flush(); // the open may take until the connect time-out
    if (!backend().database.open()) {
        // One server: its own error, as ever; a list: every server tried, and why not.
        const QString error = backend().database.openError();
        appendLogPanel(QStringLiteral("ERR: db.lastError()=") + error);
        qWarning() << "[e] db.lastError[1]=" << error;
        writeLogLine(QStringLiteral("[e] db.lastError=") + error);
        tellOperator(tr("[1] Unable to connect to SQL."));
        return; // the test query needs an open connection
    }
    writeLogLine(QStringLiteral("[+] Connect to DB ") + backend().shownDsn + QStringLiteral(" success"));
    executor().setAnswering(true);

    QString error;
    DebugOutput::flush();
    if (!backend().database.runTestQuery(config.testQuery1, &error)) {
        qWarning() << "[e] q.le=" << error;
        writeLogLine(QStringLiteral("[e] Unable to execute test query: ") + config.testQuery1);
        writeLogLine(QStringLiteral("[e] query.lastError=") + error);
    }
}

// ---- The two services ------------------------------------------------------------

void Server::startAdmin()
{
    if (config.adminPort == 0)
        return;
    admin = new AdminEndpoint([this](auto done) { ready(std::move(done)); },
        [this] {
            const CheckBackends::Totals totals = backends->totals();
            const CheckBackend &now = backend();
            return Metrics::text(
                {*http, *lookups, totals.statements, *panelFeed, now.verifier ? &totals.passwords : nullptr,
                    httpsServer, now.cache ? &totals.cache : nullptr, now.cache ? now.cache->entries() : 0,
                    audit ? std::optional<quint64>(audit->dropped()) : std::nullopt,
                    authServer ? auth : nullptr, now.servers.get(), totals.failovers});
        },
        limits.http, this);
    QString error;
    if (admin->listen(QHostAddress(config.adminAddress), config.adminPort, &error))
        qDebug().noquote() << QStringLiteral("[+] admin listening on %1 port %2")
                                  .arg(config.adminAddress)
                                  .arg(admin->port());
    else if (mode.headless)
        failStart(Net::cannotListenLine(QStringLiteral("admin"), config.adminPort, error));
    else
        qWarning().noquote() << Net::cannotListenLine(QStringLiteral("admin"), config.adminPort, error);
}

// Ready: both listeners listening and the database answering. A database
// that is not is probed with test/query1 (through the same fail-fast rules
// as the services), so an agent out of a load balancer's rotation can come back.
void Server::ready(std::function<void(const QString &notReady)> done)
{
    if (config.serverPort != 0 && (!tcpServer || !tcpServer->isListening()))
        return done(QStringLiteral("lookup listener"));
    if (!httpServer || !httpServer->isListening())
        return done(QStringLiteral("http listener"));
    if (config.authPort != 0 && (!authServer || !authServer->isListening()))
        return done(QStringLiteral("auth listener"));
    if (executor().answering())
        return done(QString());
    Statement probe;
    probe.text = config.testQuery1;
    // The probe holds its backend, as a check does, should a reload replace it meanwhile.
    const std::shared_ptr<CheckBackend> backend = backends->hold();
    backend->executor().submit(probe, [backend, done = std::move(done)](const StatementResult &result) {
        done(result.unavailable ? QStringLiteral("database") : QString());
    });
}

StatementExecutor &Server::executor() const
{
    return backend().executor();
}

CheckBackend &Server::backend() const
{
    return backends->current();
}

void Server::checkUser(QString userName, QString password, std::function<void(const Http::Verdict &)> done)
{
    backends->check(userName, password, std::move(done));
}
