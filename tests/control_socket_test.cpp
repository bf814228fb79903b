// The control socket: its framing in any pieces, the caller taken from the
// kernel, the groups' rights, and a server that silent, flooding or
// oversized clients never take from a real one.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <grp.h>
#include <memory>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "services/ControlPeer.h"
#include "services/ControlProtocol.h"
#include "services/ControlServer.h"
#include "support/ControlClient.h"

namespace {

using Result = ControlMessageReader::Result;

QJsonObject Request(const char* op, int id) { return ControlRequest(op, id); }

QByteArray Framed(const QByteArray& body)
{
    QByteArray bytes;
    const quint32 n = static_cast<quint32>(body.size());
    for (int shift : {24, 16, 8, 0})
        bytes.append(static_cast<char>((n >> shift) & 0xFF));
    return bytes + body;
}

TEST(ControlProtocolTest, MessagesComeWholeFromAnyPieces)
{
    const QByteArray stream = EncodeControlMessage(Request("hello", 1)) + EncodeControlMessage(Request("lines", 2));
    for (int piece : {1, 2, 3, 5, 7, 1000}) {
        SCOPED_TRACE(piece);
        ControlMessageReader reader;
        std::vector<int> ids;
        for (int at = 0; at < stream.size(); at += piece) {
            reader.Feed(stream.mid(at, piece));
            QJsonObject message;
            QString error;
            Result result;
            while ((result = reader.Next(&message, &error)) == Result::Message)
                ids.push_back(message.value(QStringLiteral("id")).toInt());
            ASSERT_EQ(result, Result::NeedMore) << error.toStdString();
        }
        EXPECT_EQ(ids, (std::vector<int>{1, 2}));
        EXPECT_EQ(reader.Buffered(), 0);
    }
}

TEST(ControlProtocolTest, WhatIsNotAMessage)
{
    struct Case {
        const char* name;
        QByteArray bytes;
        Result first;
    };
    QByteArray huge(4, '\0');
    huge[1] = 0x01;
    huge[2] = 0x00;
    huge[3] = 0x01;  // 65537 bytes announced
    const Case cases[] = {
        {"not JSON", Framed("{\"op\":"), Result::Malformed},
        {"an array", Framed("[1,2]"), Result::Malformed},
        {"empty body", Framed(""), Result::Malformed},
        {"a bare number", Framed("5"), Result::Malformed},
        {"one byte over the limit", huge, Result::TooLarge},
        {"a length of all ones", QByteArray(4, '\xff'), Result::TooLarge},
        {"three bytes of a length", QByteArray(3, '\0'), Result::NeedMore},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ControlMessageReader reader;
        reader.Feed(c.bytes);
        QJsonObject message;
        QString error;
        EXPECT_EQ(reader.Next(&message, &error), c.first);
        if (c.first == Result::Malformed) {
            // The stream goes on: the next message reads.
            reader.Feed(EncodeControlMessage(Request("hello", 7)));
            ASSERT_EQ(reader.Next(&message, &error), Result::Message);
            EXPECT_EQ(message.value(QStringLiteral("id")).toInt(), 7);
        }
        if (c.first == Result::TooLarge) {
            reader.Feed(EncodeControlMessage(Request("hello", 7)));
            EXPECT_EQ(reader.Next(&message, &error), Result::TooLarge);  // stays broken
            EXPECT_EQ(reader.Buffered(), 0);
        }
    }
    // Exactly at the limit is a message; beyond it is not sent at all.
    QJsonObject big{{QStringLiteral("v"), 1}, {QStringLiteral("pad"), QString()}};
    const int overhead = static_cast<int>(QJsonDocument(big).toJson(QJsonDocument::Compact).size());
    big[QStringLiteral("pad")] = QString(kMostControlMessageBytes - overhead, u'x');
    EXPECT_EQ(EncodeControlMessage(big).size(), kMostControlMessageBytes + 4);
    ControlMessageReader reader;
    reader.Feed(EncodeControlMessage(big));
    QJsonObject message;
    QString error;
    EXPECT_EQ(reader.Next(&message, &error), Result::Message);
    big[QStringLiteral("pad")] = QString(kMostControlMessageBytes - overhead + 1, u'x');
    EXPECT_TRUE(EncodeControlMessage(big).isEmpty());
}

TEST(ControlProtocolTest, AnotherVersionIsNamedWithBoth)
{
    QString error;
    EXPECT_TRUE(SameControlVersion(ControlReply(Request("hello", 1)), QStringLiteral("регистратора"), &error));
    QJsonObject other = ControlReply(Request("hello", 1));
    other[QStringLiteral("v")] = 2;
    EXPECT_FALSE(SameControlVersion(other, QStringLiteral("регистратора"), &error));
    EXPECT_EQ(error, QStringLiteral("версия протокола регистратора 2, этой программы 1"));
    other.remove(QStringLiteral("v"));
    EXPECT_FALSE(SameControlVersion(other, QStringLiteral("регистратора"), &error));
    EXPECT_TRUE(error.contains(QStringLiteral("не указана")));
}

TEST(ControlPeerTest, RightsFollowTheGroups)
{
    ControlPeer peer;
    peer.login = QStringLiteral("ivanova");
    peer.groups = {QStringLiteral("ivanova"), QStringLiteral("calvetra")};
    const ControlAccess access;
    EXPECT_TRUE(ReadRefusal(peer, access).isEmpty());
    EXPECT_EQ(WriteRefusal(peer, access), QStringLiteral("ivanova не входит в группу calvetra-operators"));
    peer.groups.append(QStringLiteral("calvetra-operators"));
    EXPECT_TRUE(WriteRefusal(peer, access).isEmpty());
    // An operator outside the reading group may not write either.
    peer.groups = {QStringLiteral("calvetra-operators")};
    EXPECT_EQ(WriteRefusal(peer, access), QStringLiteral("ivanova не входит в группу calvetra"));
}

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = dir.filePath(QStringLiteral("control.sock"));
        access.readGroup = OwnPrimaryGroup();
        access.writeGroup = QStringLiteral("calvetra-no-such-group-for-tests");
    }
    void Serve(ControlServer& server)
    {
        server.Handle(QStringLiteral("lines"), ControlServer::Needs::Read, [](const ControlPeer&, const QJsonObject& r) {
            return ControlReply(r, {{QStringLiteral("lines"), QJsonArray{QStringLiteral("a")}}});
        });
        server.Handle(QStringLiteral("start"), ControlServer::Needs::Write, [this](const ControlPeer& peer, const QJsonObject& r) {
            started.append(peer.login);
            return ControlReply(r);
        });
        server.OnRefusal([this](const ControlPeer& peer, const QString& op, const QString& why) {
            refused.append(peer.login + u' ' + op + u' ' + why);
        });
        QString error;
        ASSERT_TRUE(server.Listen(path, &error)) << error.toStdString();
    }
    QTemporaryDir dir;
    QString path;
    ControlAccess access;
    QStringList started;
    QStringList refused;
};

TEST_F(ControlServerTest, TheCallerIsTheKernelsAndTheGroupsDecide)
{
    ControlServer server(access);
    Serve(server);
    struct stat info{};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    const QString login = QString::fromLocal8Bit(::getpwuid(::getuid())->pw_name);

    QJsonObject hello, lines, start, claimed;
    WhileServing([&] {
        RawClient client(path);
        ASSERT_TRUE(client.Connected());
        client.Send(EncodeControlMessage(Request("hello", 1)));
        hello = client.Receive();
        client.Send(EncodeControlMessage(Request("lines", 2)));
        lines = client.Receive();
        client.Send(EncodeControlMessage(Request("start", 3)));
        start = client.Receive();
        // What the client says of itself changes nothing.
        QJsonObject lie = Request("start", 4);
        lie[QStringLiteral("login")] = QStringLiteral("root");
        lie[QStringLiteral("groups")] = QJsonArray{access.writeGroup};
        client.Send(EncodeControlMessage(lie));
        claimed = client.Receive();
    });
    EXPECT_EQ(hello.value(QStringLiteral("login")).toString(), login);
    EXPECT_FALSE(hello.value(QStringLiteral("mayWrite")).toBool());
    EXPECT_EQ(lines.value(QStringLiteral("id")).toInt(), 2);
    EXPECT_TRUE(lines.value(QStringLiteral("ok")).toBool());
    EXPECT_FALSE(start.value(QStringLiteral("ok")).toBool());
    EXPECT_TRUE(start.value(QStringLiteral("error")).toString().startsWith(QStringLiteral("не разрешено: ")));
    EXPECT_FALSE(claimed.value(QStringLiteral("ok")).toBool());
    EXPECT_TRUE(started.isEmpty());
    ASSERT_EQ(refused.size(), 2);
    EXPECT_EQ(refused[0], QStringLiteral("%1 start %1 не входит в группу %2").arg(login, access.writeGroup));

    // In the operators' group: the same request is handled, under the login.
    ControlAccess operators = access;
    operators.writeGroup = OwnPrimaryGroup();
    ControlServer second(operators);
    path = dir.filePath(QStringLiteral("second.sock"));
    Serve(second);
    WhileServing([&] {
        RawClient client(path);
        client.Send(EncodeControlMessage(Request("start", 5)));
        start = client.Receive();
    });
    EXPECT_TRUE(start.value(QStringLiteral("ok")).toBool());
    EXPECT_EQ(started, QStringList{login});
}

TEST_F(ControlServerTest, BadRequestsAreAnsweredAndTheConnectionGoesOn)
{
    ControlServer server(access);
    Serve(server);
    QJsonObject garbage, unknown, otherVersion, after;
    bool closedAfterHuge = false;
    WhileServing([&] {
        RawClient client(path);
        client.Send(Framed("{not json"));
        garbage = client.Receive();
        client.Send(EncodeControlMessage(Request("format-disk", 2)));
        unknown = client.Receive();
        QJsonObject old = Request("lines", 3);
        old[QStringLiteral("v")] = 0;
        client.Send(EncodeControlMessage(old));
        otherVersion = client.Receive();
        client.Send(EncodeControlMessage(Request("lines", 4)));
        after = client.Receive();
        // Announcing more than the limit ends the connection after the answer.
        RawClient huge(path);
        huge.Send(QByteArray("\x00\x10\x00\x00", 4));
        const QJsonObject answer = huge.Receive();
        closedAfterHuge = answer.value(QStringLiteral("error")).toString() == QStringLiteral("запрос слишком велик") &&
                          huge.Closed();
    });
    EXPECT_TRUE(garbage.value(QStringLiteral("error")).toString().startsWith(QStringLiteral("запрос не разобран")));
    EXPECT_EQ(unknown.value(QStringLiteral("error")).toString(), QStringLiteral("неизвестная операция: format-disk"));
    EXPECT_EQ(otherVersion.value(QStringLiteral("error")).toString(), QStringLiteral("версия протокола программы 0, этой программы 1"));
    EXPECT_TRUE(after.value(QStringLiteral("ok")).toBool());
    EXPECT_TRUE(closedAfterHuge);
}

TEST_F(ControlServerTest, AFloodIsHeldToTheRate)
{
    ControlServer server(access);
    Serve(server);
    int ok = 0;
    int refusedForRate = 0;
    WhileServing([&] {
        RawClient client(path);
        QByteArray burst;
        for (int i = 0; i < 200; ++i)
            burst += EncodeControlMessage(Request("lines", i));
        client.Send(burst);
        for (int i = 0; i < 200; ++i) {
            const QJsonObject reply = client.Receive();
            if (reply.value(QStringLiteral("ok")).toBool())
                ++ok;
            else if (reply.value(QStringLiteral("error")).toString() == QStringLiteral("слишком частые запросы"))
                ++refusedForRate;
        }
    });
    // Every request answered, the burst's worth served, the rest refused.
    EXPECT_EQ(ok + refusedForRate, 200);
    EXPECT_GE(ok, kControlRequestBurst);
    EXPECT_LT(ok, 100);
}

TEST_F(ControlServerTest, SilentClientsAreDroppedAndNeverKeepARealOneOut)
{
    ControlServer server(access);
    server.SetIdleDropMs(1000);
    Serve(server);
    std::vector<std::unique_ptr<RawClient>> silent;
    QJsonObject answer;
    WhileServing([&] {
        for (int i = 0; i < 100; ++i)
            silent.push_back(std::make_unique<RawClient>(path));
        RawClient real(path);
        real.Send(EncodeControlMessage(Request("lines", 1)));
        answer = real.Receive();
    });
    EXPECT_TRUE(answer.value(QStringLiteral("ok")).toBool());
    // Each silent one is closed by the server after the idle time.
    int closed = 0;
    WhileServing([&] {
        for (auto& client : silent)
            closed += client->Closed() ? 1 : 0;
    });
    EXPECT_EQ(closed, 100);
    EXPECT_EQ(server.Clients(), 0);
}

// A request answered later: the loop answers others meanwhile, the waiting
// client outlives the idle time, and an answer for a client gone is dropped.
TEST_F(ControlServerTest, ADeferredAnswerHoldsNeitherTheLoopNorItsClient)
{
    ControlServer server(access);
    server.SetIdleDropMs(300);
    std::vector<ControlServer::Reply> held;
    server.HandleDeferred(QStringLiteral("slow"), ControlServer::Needs::Read,
                          [&held](const ControlPeer&, const QJsonObject& r, ControlServer::Reply reply) {
                              held.push_back([r, reply](const QJsonObject&) { reply(ControlReply(r, {{QStringLiteral("late"), true}})); });
                          });
    Serve(server);
    auto answerHeld = [&](size_t at) {
        PostTo(&server, [&held, at] {
            if (at < held.size())
                held[at](QJsonObject());
        });
    };
    QJsonObject other;
    QJsonObject late;
    bool waitingDropped = true;
    bool goneAnswered = true;
    WhileServing([&] {
        RawClient waiting(path);
        {
            RawClient gone(path);
            gone.Send(EncodeControlMessage(Request("slow", 1)));
            waiting.Send(EncodeControlMessage(Request("slow", 2)));
            RawClient another(path);
            another.Send(EncodeControlMessage(Request("lines", 3)));
            other = another.Receive();
        }
        // Well past the idle time with both answers still held.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        answerHeld(0);
        answerHeld(1);
        late = waiting.Receive();
        waitingDropped = late.isEmpty();
        // Answered once: a second call is ignored, and the idle time runs again.
        answerHeld(1);
        goneAnswered = !waiting.Closed();
    });
    EXPECT_EQ(other.value(QStringLiteral("id")).toInt(), 3);
    EXPECT_TRUE(other.value(QStringLiteral("ok")).toBool());
    EXPECT_FALSE(waitingDropped);
    EXPECT_EQ(late.value(QStringLiteral("id")).toInt(), 2);
    EXPECT_TRUE(late.value(QStringLiteral("late")).toBool());
    EXPECT_FALSE(goneAnswered) << "a second answer was sent or the client was kept past the idle time";
    EXPECT_EQ(server.Clients(), 0);
}

TEST_F(ControlServerTest, ASocketLeftByAKilledRecorderIsTakenAndALiveOneIsNot)
{
    {
        // A socket file with nobody behind it, as kill -9 leaves it.
        QLocalServer left;
        ASSERT_TRUE(left.listen(path));
        left.close();  // Qt removes its file on close: make one that stays
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, QFile::encodeName(path).constData());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(path));

    ControlServer first(access);
    Serve(first);
    ControlServer second(access);
    QString error;
    EXPECT_FALSE(second.Listen(path, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("другой регистратор"))) << error.toStdString();
    EXPECT_TRUE(QFileInfo::exists(path));  // the first one's stays
}

}  // namespace
