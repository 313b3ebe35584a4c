#include "commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace CommandLine {

Request read(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "TOVR/MERK SQL Agent (checker): answers HTTP credential checks and parameter lookups from a "
        "database.\n"
        "It reads ./tovr_merk.ini from its working directory and writes ./debug-log.txt there; without a\n"
        "display it runs offscreen. SIGTERM or SIGINT closes it as its Quit button does."));
    const QCommandLineOption help(QStringList {QStringLiteral("h"), QStringLiteral("help")},
        QStringLiteral("Print this help and exit."));
    const QCommandLineOption version(QStringList {QStringLiteral("v"), QStringLiteral("version")},
        QStringLiteral("Print the version and exit."));
    parser.addOption(help);
    parser.addOption(version);
    // Other arguments are Qt's own (-platform, -style, ...) and stay with Qt:
    // that they are unknown here is no error.
    parser.parse(arguments);

    Request request;
    request.help = parser.isSet(help);
    request.version = !request.help && parser.isSet(version);
    if (request.help)
        request.text = parser.helpText();
    else if (request.version)
        request.text = QStringLiteral("tovr_merk_agent %1\n").arg(QStringLiteral(AGENT_VERSION));
    return request;
}

QString fallbackPlatform(const QStringList &arguments, bool platformVariableSet, bool displaySet)
{
    if (platformVariableSet || displaySet || arguments.contains(QStringLiteral("-platform")))
        return QString();
    return QStringLiteral("offscreen");
}

bool headless(const QString &platformName)
{
    return platformName == QLatin1String("offscreen") || platformName == QLatin1String("minimal");
}

} // namespace CommandLine
