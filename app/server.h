#ifndef SERVER_H
#define SERVER_H

#include "provisioning.h"
#include "settings.h"

#include "db/database.h"
#include "db/pool.h"
#include "net/admin.h"
#include "net/httprequest.h"
#include "net/lookup.h"
#include "net/lookupqueue.h"
#include "net/throttle.h"

#include <QByteArray>
#include <QDialog>
#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <memory>

class AdminEndpoint;
class CheckService;
class Verifier;
namespace Operator {
class Boxes;
}
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

// The agent's one window and the owner of everything it does: start-up runs in
// the constructor; afterwards the listeners' and sockets' signals drive the
// slots, which hand the work to the unit that owns it.
class Server : public QDialog
{
    Q_OBJECT

public:
    explicit Server(QWidget *parent = nullptr);
    explicit Server(const AgentLimits &limits, QWidget *parent = nullptr);
    ~Server() override;

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
    // On SIGHUP: the HTTPS certificate and key read again (a pair that does
    // not load leaves the one in use); nothing else.
    void reload();

    // Start-up steps (app/server.cpp)
    void openNetwork();
    void startListeners();
    // The check over TLS, when configured; says why not when it cannot start.
    void startTls();
    void openDatabase();
    void startAdmin();
    // What /ready reports: what is not ready, now or later ("" for nothing).
    void ready(std::function<void(const QString &notReady)> done);
    // The pool when sql/pool asks for one, else the database on this thread.
    StatementExecutor &executor() const;

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
    QString shownDsn;            // sql/dsn as every output shows it: credentials masked
    bool terminating = false;    // a termination signal arrived
    Settings::Findings findings; // what readSettings learned about the configuration
    AgentLimits limits;
    QTextStream *logStream = nullptr;       // the constructor's stream on logFile
    PanelFeed *panelFeed = nullptr;         // batches lines into logPanel
    std::unique_ptr<Database> database;     // the connection db is opened on
    std::unique_ptr<ConnectionPool> pool;   // sql/pool connections, when configured
    std::unique_ptr<Verifier> verifier;     // stored passwords' threads, with sql/password_column
    std::unique_ptr<VerdictCache> cache;    // recent verdicts, with cache/ttl
    std::unique_ptr<CheckService> checks;   // the check's and the lookup's statement
    std::unique_ptr<Operator::Boxes> boxes; // what the lookup shows the operator
    HttpEndpoint *http = nullptr;           // the HTTP check on httpServer's connections
    LookupQueue *lookups = nullptr;         // the parameter lookup on tcpServer's connections
    AdminEndpoint *admin = nullptr;         // health and metrics, when admin/port is set
    TlsListener *httpsServer = nullptr;     // the check over TLS, when https/port is set
};

#endif // SERVER_H
