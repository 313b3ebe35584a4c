// tovr_merk_lookup: sends one text to the agent's lookup service and prints the
// value it answers.
#include "lookupclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {
constexpr auto DefaultHost = "127.0.0.1";
constexpr quint16 DefaultPort = 18210;

void printTo(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString &message)
{
    printTo(stderr, QStringLiteral("tovr_merk_lookup: %1\nTry 'tovr_merk_lookup --help'.\n").arg(message));
    return ExitCode::Usage;
}
} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tovr_merk_lookup"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends TEXT to the lookup service of a TOVR/MERK SQL Agent and prints the value it "
                       "answers, followed by a line feed. The agent shows the text and the result to its "
                       "operator first, so the answer comes only after two message boxes were dismissed.\n"
                       "\n"
                       "Exit codes:\n"
                       "  %1  the reply was printed (a null reply prints nothing, with a note on stderr)\n"
                       "  %2  bad command line\n"
                       "  %3  cannot connect (refused, host not found, network unreachable)\n"
                       "  %4  no complete reply within the time-out\n"
                       "  %5  malformed reply (odd or oversized length, bytes after the string)\n"
                       "  %6  truncated reply (connection closed before the announced length)")
            .arg(ExitCode::Ok)
            .arg(ExitCode::Usage)
            .arg(ExitCode::ConnectFailed)
            .arg(ExitCode::TimedOut)
            .arg(ExitCode::Malformed)
            .arg(ExitCode::Truncated));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
        QStringLiteral("Agent host (default %1).").arg(DefaultHost), QStringLiteral("H"),
        QString::fromLatin1(DefaultHost));
    const QCommandLineOption portOption(QStringLiteral("port"),
        QStringLiteral("Lookup port, the agent's server/port (default %1).").arg(DefaultPort),
        QStringLiteral("P"), QString::number(DefaultPort));
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
        QStringLiteral("Seconds to wait for the whole reply (default %1).")
            .arg(LookupClientLimits::DefaultTimeoutSeconds),
        QStringLiteral("S"), QString::number(LookupClientLimits::DefaultTimeoutSeconds));
    parser.addOptions({hostOption, portOption, timeoutOption});
    parser.addPositionalArgument(
        QStringLiteral("TEXT"), QStringLiteral("The text to look up, sent as UTF-8."));

    // process() would exit with 1 on a bad option; this tool documents 2 for that.
    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        printTo(stdout, parser.helpText());
        return ExitCode::Ok;
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(QStringLiteral("expected exactly one TEXT, got %1").arg(positional.size()));

    const QString host = parser.value(hostOption);
    if (host.isEmpty())
        return usageError(QStringLiteral("--host must not be empty"));
    bool ok = false;
    const uint port = parser.value(portOption).toUInt(&ok);
    if (!ok || port == 0 || port > 65535)
        return usageError(QStringLiteral("--port must be a number from 1 to 65535, not '%1'")
                              .arg(parser.value(portOption)));
    const double seconds = parser.value(timeoutOption).toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > LookupClientLimits::MaxTimeoutSeconds)
        return usageError(QStringLiteral("--timeout must be a number of seconds above 0 and at "
                                         "most %1, not '%2'")
                              .arg(LookupClientLimits::MaxTimeoutSeconds)
                              .arg(parser.value(timeoutOption)));

    LookupClient client;
    QObject::connect(&client, &LookupClient::finished, &app, &QCoreApplication::quit);
    client.start(host, quint16(port), positional.first(), qMax(1, qRound(seconds * 1000)));
    app.exec();

    const LookupClient::Outcome &outcome = client.outcome();
    if (outcome.printText)
        printTo(stdout, outcome.text + QLatin1Char('\n'));
    if (!outcome.message.isEmpty())
        printTo(stderr, QStringLiteral("tovr_merk_lookup: %1\n").arg(outcome.message));
    return outcome.exitCode;
}
