#ifndef SERVER_H
#define SERVER_H

#include "provisioning.h"
#include "settings.h"

#include "db/database.h"
#include "net/addressblocks.h"
#include "net/admin.h"
#include "net/httprequest.h"
#include "net/lookup.h"
#include "net/lookupqueue.h"
#include "net/throttle.h"

#include <QByteArray>
#include <QDialog>
#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <memory>

class AdminEndpoint;
class AuthEndpoint;
class AuditLog;
class CheckBackends;
class SystemdNotifier;
namespace Operator {
class Boxes;
}
class CheckBackend;
class TlsListener;
class AesCipher;
class HttpEndpoint;
class PanelFeed;
class QCloseEvent;
class QFile;
class QLabel;
class QNetworkSession;
class QTcpServer;
class QTextEdit;
class QTextStream;
struct ServerInspector;

// Whether anybody can answer a message box. Headless (a service, on the
// offscreen platform) a start-up failure that a box would halt on ends the
// agent with StartFailedExitCode instead, so its supervisor sees it and can
// restart it, and the database's start-up box is said but not waited for.
struct RunMode
{
    bool headless = false;
};

// The agent's one window and the owner of everything it does: start-up runs in
// the constructor; afterwards the listeners' and sockets' signals drive the
// slots, which hand the work to the unit that owns it.
class Server : public QDialog
{
    Q_OBJECT

public:
    static constexpr int StartFailedExitCode = 1;
    // SIGHUPs closer together than this are read as one reload, after it.
    static constexpr int ReloadCoalesceMs = 250;
    // How often the service manager's status line is brought up to date.
    static constexpr int ServiceStatusMs = 1000;

    explicit Server(QWidget *parent = nullptr);
    explicit Server(const AgentLimits &limits, RunMode mode = RunMode(), QWidget *parent = nullptr);
    ~Server() override;

    // Non-zero when start-up failed and the agent is to end with it.
    int exitCode() const { return m_exitCode; }

private slots:
    void sessionOpened();
    void sendFortune();
    void httpNewConnection();
    void slotReadClient();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    friend struct ServerInspector; // tests reach the private operations through it

    // Settings: read from tovr_merk.ini, written to the per-user store on close.
    void readSettings();
    void writeSettings();
    // One line per configuration problem, on the debug output and the panel.
    void reportConfiguration();

    // Event log (app/eventlog.cpp)
    void writeLogLine(const QString &message);
    void appendLogPanel(const QString &message);

    // Provisioning (app/provisioning.cpp)
    void testCipher();
    void requestConfig();

    // On SIGTERM or SIGINT, at any moment: closes as Quit does (the settings
    // are written once) and ends every running event loop, start-up's
    // message boxes included; start-up then skips its remaining steps.
    void terminate();
    // On SIGHUP: tovr_merk.ini read again and checked as at start; a
    // configuration that is refused leaves everything as it is. Signals that
    // come close together make one reload.
    void reload();
    void reloadNow();
    // A start-up failure nobody can answer headless: said, and the agent ends.
    void failStart(const QString &line);
    // Start-up has been ended by a signal or a failure: skip what is left.
    bool ending() const { return terminating || m_exitCode != 0; }
    // A box a person answers; headless only its line is said.
    void tellOperator(const QString &text);
    // The service manager's status line: the status label and the database.
    QString serviceStatus() const;
    // The audit log and the per-address throttle as the configuration says:
    // at start, and at every reload (which reopens the log for logrotate).
    void applyAuditAndThrottle();
    // Tells the panel and the debug output each time one of the throttle's
    // keys starts to wait: whose names the key ("for user %1"), rules picks
    // the throttle's limits, read when it is told.
    void tellThrottling(CheckThrottle &throttle, const QString &whose, Throttle::Limits AgentLimits::*rules);
    // http/trusted_proxies, read.
    Net::AddressBlocks trustedProxies() const;
    void tellReady();

    // Start-up steps (app/server.cpp)
    void openNetwork();
    void startListeners();
    // The check over TLS, when configured; says why not when it cannot start.
    void startTls();
    // The sign-in listener for reverse proxies, when auth/port is set.
    void startAuth();
    void openDatabase();
    void startAdmin();
    // What /ready reports: what is not ready, now or later ("" for nothing).
    void ready(std::function<void(const QString &notReady)> done);
    // The pool when sql/pool asks for one, else the database on this thread.
    StatementExecutor &executor() const;
    CheckBackend &backend() const;

    // The credential check's verdict ("none" for not found), now or later.
    void checkUser(QString userName, QString password, std::function<void(const Http::Verdict &)> done);

    // Members in the order the rest of the program refers to them.
    AgentConfig config; // what tovr_merk.ini says, read once at start
    AesCipher *aes = nullptr;
    QFile *logFile = nullptr;
    QTextEdit *logPanel = nullptr;
    QSqlDatabase db;
    QLabel *statusLabel;
    QTcpServer *tcpServer = nullptr;
    QNetworkSession *networkSession = nullptr;
    QTcpServer *httpServer = nullptr;

    // Our own additions.
    bool terminating = false;   // a termination signal arrived
    int m_exitCode = 0;         // start-up failed: the agent ends with this
    bool started = false;       // the constructor has run to its end
    bool reloadWaiting = false; // a SIGHUP waits to be served
    QElapsedTimer lastReload;   // since the last reload began
    RunMode mode;
    Settings::Findings findings; // what readSettings learned about the configuration
    AgentLimits limits;
    QTextStream *logStream = nullptr;       // the constructor's stream on logFile
    PanelFeed *panelFeed = nullptr;         // batches lines into logPanel
    CheckBackends *backends = nullptr;      // the statement, connections, verifier and cache in use
    SystemdNotifier *notifier = nullptr;    // READY=1, STATUS=, WATCHDOG=1 ... under systemd
    AuditLog *audit = nullptr;              // a line per verdict, with log/audit
    std::unique_ptr<Operator::Boxes> boxes; // what the lookup shows the operator
    HttpEndpoint *http = nullptr;           // the HTTP check on httpServer's connections
    LookupQueue *lookups = nullptr;         // the parameter lookup on tcpServer's connections
    AdminEndpoint *admin = nullptr;         // health and metrics, when admin/port is set
    TlsListener *httpsServer = nullptr;     // the check over TLS, when https/port is set
    QTcpServer *authServer = nullptr;       // the sign-in listener, when auth/port is set
    AuthEndpoint *auth = nullptr;           // GET /auth on authServer's connections, through http's gate
};

#endif // SERVER_H
