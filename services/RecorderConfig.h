// The recorder's configuration: where its files go, where it answers
// /metrics, and the lines of the lab, each with its transport and chambers.
// A file that is wrong anywhere is refused whole, with the file, the section
// and the key named, so that nothing half-read ever runs.
#pragma once

#include <QString>
#include <QVector>

#include "link/Transport.h"
#include "monitoring/Alarms.h"
#include "services/ControlPeer.h"

// The exit status of a configuration that cannot be used (sysexits'
// EX_CONFIG): the service manager does not start it again in a loop.
constexpr int kConfigErrorExit = 78;
constexpr const char* kDefaultRecorderConfig = "/etc/calvetra/recorder.conf";
// The control socket's place: the service's runtime folder.
constexpr const char* kDefaultControlSocket = "/run/calvetra/control.sock";

struct RecorderLine {
    QString name;  // the section's name after "line."
    TransportAddress address;
    QVector<int> chambers;  // ascending, no repeats; empty with scan
    bool scan = false;
    int timeoutMs = 150;
    bool operator==(const RecorderLine& other) const;
};

struct RecorderConfig {
    QString folder = QStringLiteral("/var/lib/calvetra");
    QString listenHost = QStringLiteral("127.0.0.1");
    quint16 listenPort = 9464;
    bool listen = true;  // "listen=" left empty: no endpoint
    // The control socket for the desktops of this machine; empty: none.
    QString socket = QString::fromLatin1(kDefaultControlSocket);
    // Who may read ("readers=") and who may change a chamber's work
    // ("operators="): groups of the system.
    ControlAccess access;
    // [alarms], the desktop's keys, and the chambers' conditions by line
    // (condition.LINE.ADDRESS); defaults otherwise.
    AlarmSettings alarms;
    QVector<RecorderLine> lines;
    const RecorderLine* Line(const QString& name) const;
};

// Reads and checks the file; false with the reason ("FILE: [section] key:
// what is wrong") when anything in it cannot be used.
bool ReadRecorderConfig(const QString& path, RecorderConfig* config, QString* error);

// "1-12,30", "scan": the chambers of a line; false with what is wrong.
bool ParseChamberList(const QString& text, QVector<int>* chambers, bool* scan, QString* reason);
