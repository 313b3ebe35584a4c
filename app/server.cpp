#include "server.h"
#include "checkservice.h"
#include "debugoutput.h"
#include "eventlog.h"
#include "metrics.h"
#include "operatorbox.h"
#include "panelfeed.h"
#include "signalbridge.h"

#include "crypto/aescipher.h"
#include "db/sqlrules.h"
#include "net/adminendpoint.h"
#include "net/httpendpoint.h"
#include "net/listeners.h"
#include "net/tlslistener.h"
#include "net/wiretext.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
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

#include <sys/stat.h>

Server::Server(QWidget *parent) : Server(AgentLimits(), parent)
{ }

Server::Server(const AgentLimits &agentLimits, QWidget *parent)
    : QDialog(parent), statusLabel(new QLabel), limits(agentLimits)
{
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
    shownDsn = Sql::maskCredentials(config.sqlDsn);
    reportConfiguration();

    // The units the slots hand their work to. They do nothing until the
    // listeners and the database exist.
    database = std::make_unique<Database>();
    limits = limitsFor(config, limits);
    database->setLimits(limits.database);
    if (!config.sqlPasswordColumn.isEmpty())
        verifier = std::make_unique<Verifier>(config.sqlWeakHashes, limits.passwords);
    if (limits.cache.ttlMs > 0)
        cache = std::make_unique<VerdictCache>(limits.cache);
    checks = std::make_unique<CheckService>(
        config, shownDsn, *database, *panelFeed, verifier.get(), cache.get());
    http = new HttpEndpoint(*checks, limits.http, limits.throttle, config.httpUnavailable, this);
    connect(&http->throttle(), &CheckThrottle::throttlingStarted, this,
        [this](const QString &name, int failures) {
            const QString line
                = QStringLiteral("[i] checks for user %1 now wait: %2 not-found answers within %3 s")
                      .arg(name)
                      .arg(failures)
                      .arg(limits.throttle.windowMs / 1000);
            qDebug().noquote() << line;
            appendLogPanel(line);
        });
    boxes = std::make_unique<Operator::Boxes>(this);
    lookups = new LookupQueue(*boxes, *checks, limits.lookup, this);

    testCipher();
    requestConfig();
    if (!terminating)
        openNetwork();
    if (!terminating)
        startAdmin();
    if (!terminating)
        openDatabase();

    logStream = nullptr; // the stream dies with the constructor; nothing writes the file later
}

Server::~Server()
{
    delete logFile;
    delete aes; // lives as long as the dialog, which lives until the process ends; wipes the key
}

void Server::closeEvent(QCloseEvent *)
{
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
        qDebug().noquote() << line;
        appendLogPanel(line);
    }
}

void Server::reload()
{
    if (cache)
        qDebug().noquote()
            << QStringLiteral("[i] the verdict cache is emptied: %1 entries").arg(cache->flush());
    if (!httpsServer)
        return;
    QString error;
    const QString line = httpsServer->loadCredentials(config.httpsCertificate, config.httpsKey, &error)
        ? QStringLiteral("[+] the HTTPS certificate and key are read again; new connections get them")
        : QStringLiteral("[-] the HTTPS certificate and key are not read again, the pair in use stays: ")
            + error;
    qDebug().noquote() << line;
    writeLogLine(line);
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
    tcpServer = new QTcpServer(this);
    connect(tcpServer, &QTcpServer::newConnection, this, &Server::sendFortune);
    lookups->attach(tcpServer);
    Net::keepAccepting(tcpServer);
    if (!Net::startListener(tcpServer, config.serverPort, &error)) {
        qDebug().noquote() << Net::cannotListenLine(QStringLiteral("lookup"), config.serverPort, error);
        Operator::showBox(this, QMessageBox::Critical, tr("Unable to start the server: %1.").arg(error));
        if (!terminating) // a termination signal during the box has closed the dialog already
            close();
        return;
    }

    httpServer = new QTcpServer(this);
    // Connected by signature: the slot is looked up by its name at run time.
    connect(httpServer, SIGNAL(newConnection()), this, SLOT(httpNewConnection()));
    http->watch(httpServer);
    if (!Net::startListener(httpServer, config.httpPort, &error)) {
        qDebug() << tr("[-] Unable to start HTTP server: %1.").arg(error);
        qDebug().noquote() << Net::cannotListenLine(QStringLiteral("HTTP"), config.httpPort, error);
    } else {
        qDebug() << tr("[+] http start!");
    }

    startTls();
    const QString address = Net::statusAddress(QNetworkInterface::allAddresses());
    QString status = Net::statusText(address, tcpServer->serverPort(), httpServer->serverPort());
    if (httpsServer)
        status += QLatin1Char('\n')
            + tr("The HTTPS is running IP: %1 port: %2").arg(address).arg(httpsServer->serverPort());
    statusLabel->setText(status);
}

void Server::startTls()
{
    if (config.httpsPort == 0)
        return;
    auto *listener = new TlsListener(limits.http, this);
    QString error;
    if (!listener->loadCredentials(config.httpsCertificate, config.httpsKey, &error)
        || !Net::startListener(listener, config.httpsPort, &error)) {
        const QString line = QStringLiteral("[-] the HTTPS listener does not start: ") + error;
        qDebug().noquote() << line;
        writeLogLine(line);
        delete listener;
        return;
    }
    httpsServer = listener;
    http->listenOn(httpsServer);
    qDebug().noquote() << QStringLiteral("[+] https start! port %1").arg(httpsServer->serverPort());
}

void Server::openDatabase()
{
    writeLogLine(
        QStringLiteral("[e] QSqlDatabase::drivers=") + QSqlDatabase::drivers().join(QLatin1Char(',')));
    appendLogPanel(QStringLiteral("drivers=") + QSqlDatabase::drivers().join(QLatin1Char(',')));
    appendLogPanel(QStringLiteral("host = [") + config.sqlHost + QLatin1Char(']'));
    appendLogPanel(QStringLiteral("port = [") + QString::number(config.sqlPort) + QLatin1Char(']'));
    appendLogPanel(QStringLiteral("type = [") + config.sqlType + QLatin1Char(']'));

    const ConnectionSettings connection {config.sqlType, config.sqlHost, config.sqlPort, config.sqlDsn,
        config.sqlUser, config.sqlPassword, config.sqlTimeout, config.sqlOptions};
    db = database->configure(connection);
    if (config.sqlPool > 0) {
        // The pool's connections open on their own threads; the start-up
        // open below, its lines and its box stay here, with db.
        pool = std::make_unique<ConnectionPool>(connection, config.sqlPool, limits.pool);
        checks->useExecutor(*pool);
    }

    appendLogPanel(QStringLiteral("db.hostName()=") + db.hostName());
    appendLogPanel(QStringLiteral("db.driverName()=") + db.driverName());
    appendLogPanel(QStringLiteral("db.connectOptions()=") + db.connectOptions());
    appendLogPanel(QStringLiteral("db.connectionName()=") + db.connectionName());
    appendLogPanel(QStringLiteral("db.databaseName()=") + shownDsn);

    DebugOutput::flush(); // the open may take until the connect time-out
    if (!database->open()) {
        const QString error = Sql::maskCredentials(db.lastError().text());
        appendLogPanel(QStringLiteral("ERR: db.lastError()=") + error);
        qDebug() << "[e] db.lastError[1]=" << error;
        writeLogLine(QStringLiteral("[e] db.lastError=") + error);
        Operator::showBox(this, QMessageBox::Critical, tr("[1] Unable to connect to SQL."));
        return; // the test query needs an open connection
    }
    writeLogLine(QStringLiteral("[+] Connect to DB ") + shownDsn + QStringLiteral(" success"));
    executor().setAnswering(true);

    QString error;
    DebugOutput::flush();
    if (!database->runTestQuery(config.testQuery1, &error)) {
        qDebug() << "[e] q.le=" << error;
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
            return Metrics::text(
                {*http, *lookups, executor(), *panelFeed, verifier.get(), httpsServer, cache.get()});
        },
        limits.http, this);
    QString error;
    if (admin->listen(QHostAddress(config.adminAddress), config.adminPort, &error))
        qDebug().noquote() << QStringLiteral("[+] admin listening on %1 port %2")
                                  .arg(config.adminAddress)
                                  .arg(admin->port());
    else
        qDebug().noquote() << Net::cannotListenLine(QStringLiteral("admin"), config.adminPort, error);
}

// Ready: both listeners listening and the database answering. A database
// that is not is probed with test/query1 (through the same fail-fast rules
// as the services), so an agent out of a load balancer's rotation can come back.
void Server::ready(std::function<void(const QString &notReady)> done)
{
    if (!tcpServer || !tcpServer->isListening())
        return done(QStringLiteral("lookup listener"));
    if (!httpServer || !httpServer->isListening())
        return done(QStringLiteral("http listener"));
    if (executor().answering())
        return done(QString());
    Statement probe;
    probe.text = config.testQuery1;
    executor().submit(probe, [done = std::move(done)](const StatementResult &result) {
        done(result.unavailable ? QStringLiteral("database") : QString());
    });
}

StatementExecutor &Server::executor() const
{
    if (pool)
        return *pool;
    return *database;
}

void Server::checkUser(QString userName, QString password, std::function<void(const Http::Verdict &)> done)
{
    checks->check(userName, password, std::move(done));
}
