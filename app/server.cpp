#include "server.h"
#include "eventlog.h"

#include "crypto/aescipher.h"

#include <QBoxLayout>
#include <QCloseEvent>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QSpacerItem>
#include <QStyleHints>
#include <QTextEdit>
#include <QTextStream>

#include <memory>

Server::Server(QWidget *parent)
    : QDialog(parent), statusLabel(new QLabel)
{
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
    panelFeed = new PanelFeed(logPanel, this);

    setWindowTitle(QGuiApplication::applicationDisplayName());

    readSettings();
    testCipher();
    requestConfig();
    openNetwork();
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
