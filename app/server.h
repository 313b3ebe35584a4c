#ifndef SERVER_H
#define SERVER_H

#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QByteArray>
#include <QVariant>

class AesCipher;
class PanelFeed;
class QCloseEvent;
class QFile;
class QLabel;
class QNetworkSession;
class QSqlQuery;
class QTcpServer;
class QTcpSocket;
class QTextEdit;
class QTextStream;
struct ServerInspector;

// The agent's one window and the owner of everything it does: start-up runs in
// the constructor; afterwards the listeners' and sockets' signals drive the slots.
class Server : public QDialog
{
    Q_OBJECT

public:
    explicit Server(QWidget *parent = nullptr);
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

    // Settings (app/settings.cpp)
    void readSettings();
    void writeSettings();

    // Event log (app/eventlog.cpp)
    void writeLogLine(const QString &message);
    void appendLogPanel(const QString &message);

    // Provisioning (app/provisioning.cpp)
    void testCipher();
    void requestConfig();

    // Network step and listeners (net/listeners.cpp)
    void openNetwork();
    bool startListener(QTcpServer *listener, int port, QString *error);

    // Database (db/database.cpp)
    void openDatabase();
    QString checkUser(QString userName, QString password);
    // Runs statement on db into query: when prepared is true, prepared and
    // bound as input parameters, named ones (placeholder -> value) with
    // bindValue and then positional ones in order with addBindValue; else
    // executed as it stands. A statement that prepared once is kept prepared
    // for the next run until db is reopened. When it fails because the
    // connection is gone it reopens db (rate-limited) and runs it once more,
    // prepared anew. The result tells whether the last run succeeded; query
    // holds that run.
    bool execWithRecovery(QSqlQuery &query, bool prepared, const QString &statement,
                          const QVariantMap &named = QVariantMap(),
                          const QVariantList &positional = QVariantList());
    bool reopenDatabase();

    // HTTP check (net/httpendpoint.cpp)
    void serveHttp(QTcpSocket *socket, bool timedOut);
    QString judgeHttp(const QByteArray &received);

    // Parameter lookup (net/lookupservice.cpp)
    void beginLookup();
    void continueLookup(QTcpSocket *socket);
    void serveLookup(const QPointer<QTcpSocket> &client, const QString &input);
    QString runLookup(const QString &input);
    void finishLookup();

    // Members in the order the rest of the program refers to them.
    QString sqlType;
    QString sqlHost;
    int sqlPort = 0;
    QString sqlDsn;
    QString sqlUser;
    QString sqlPassword;
    QString sqlQuery;
    QString sqlRetParam;
    QString testQuery1;
    QString appKey1;
    QByteArray cipherKey;
    AesCipher *aes = nullptr;
    int serverPort = 0;
    int httpPort = 0;
    QFile *logFile = nullptr;
    QTextEdit *logPanel = nullptr;
    QSqlDatabase db;
    QLabel *statusLabel;
    QTcpServer *tcpServer = nullptr;
    QNetworkSession *networkSession = nullptr;
    QTcpServer *httpServer = nullptr;

    // Our own additions.
    QString configHost;              // app/config_host: the provisioning server
    QTextStream *logStream = nullptr; // the constructor's stream on logFile
    PanelFeed *panelFeed = nullptr;  // batches lines into logPanel
    QElapsedTimer lastReopen;        // rate limit of database reopen attempts
    QHash<QString, QSqlQuery> preparedQueries; // statement -> prepared on db's current session
    bool lookupBusy = false;         // one parameter lookup at a time
};

#endif // SERVER_H
