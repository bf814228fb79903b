#include "services/ControlPeer.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

QString GroupName(gid_t gid)
{
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    while (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    return found ? QString::fromLocal8Bit(found->gr_name) : QString::number(gid);
}

}  // namespace

bool PeerOfSocket(int fd, ControlPeer* peer, QString* error)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    peer->uid = credentials.uid;
    peer->gid = credentials.gid;
    peer->pid = credentials.pid;
    FillAccount(peer);
    return true;
}

void FillAccount(ControlPeer* peer)
{
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(peer->uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    peer->groups.clear();
    if (!found) {
        // An account the database does not know still has its uid and group.
        peer->login = QString::number(peer->uid);
        peer->groups.append(GroupName(peer->gid));
        return;
    }
    peer->login = QString::fromLocal8Bit(found->pw_name);
    std::vector<gid_t> gids(64);
    int count = static_cast<int>(gids.size());
    if (::getgrouplist(found->pw_name, found->pw_gid, gids.data(), &count) < 0) {
        gids.resize(static_cast<size_t>(count));
        ::getgrouplist(found->pw_name, found->pw_gid, gids.data(), &count);
    }
    gids.resize(static_cast<size_t>(std::max(count, 0)));
    peer->groups.append(GroupName(found->pw_gid));
    for (gid_t gid : gids)
        if (gid != found->pw_gid)
            peer->groups.append(GroupName(gid));
}

QString ReadRefusal(const ControlPeer& peer, const ControlAccess& access)
{
    if (access.readGroup.isEmpty() || peer.groups.contains(access.readGroup))
        return QString();
    return QStringLiteral("%1 не входит в группу %2").arg(peer.login, access.readGroup);
}

QString WriteRefusal(const ControlPeer& peer, const ControlAccess& access)
{
    const QString read = ReadRefusal(peer, access);
    if (!read.isEmpty())
        return read;
    if (access.writeGroup.isEmpty() || peer.groups.contains(access.writeGroup))
        return QString();
    return QStringLiteral("%1 не входит в группу %2").arg(peer.login, access.writeGroup);
}
