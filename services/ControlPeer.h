// Who is at the other end of the control socket, as the kernel says
// (SO_PEERCRED), never as the client says: its uid, and the login name and
// the groups that follow from it. What it may do follows from the groups.
#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

struct ControlPeer {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    pid_t pid = 0;
    QString login;        // the uid's name, or the uid as a number when it has none
    QStringList groups;   // names of the uid's groups, its primary group first
};

// The peer of a connected Unix socket. False with the system's words.
bool PeerOfSocket(int fd, ControlPeer* peer, QString* error);
// The login and groups of uid (the account database's view now).
void FillAccount(ControlPeer* peer);

// Which groups may do what. Reading needs readGroup; changing a chamber's
// work (programs, set points, start and stop, alarm settings) needs
// writeGroup as well.
struct ControlAccess {
    QString readGroup = QStringLiteral("calvetra");
    QString writeGroup = QStringLiteral("calvetra-operators");
};
// Empty when the peer may; otherwise why not, in words.
QString ReadRefusal(const ControlPeer& peer, const ControlAccess& access);
QString WriteRefusal(const ControlPeer& peer, const ControlAccess& access);
