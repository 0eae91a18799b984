// The board link: frames and their strict decoding, the rendezvous directory,
// the listener's lock, and a server that survives whatever a peer sends.

#include "link/frames.h"
#include "link/rendezvous.h"
#include "link/server.h"
#include "test_board.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using namespace vboard::link;
using link_test::code_echo;
using link_test::code_fail;
using link_test::code_take;
using link_test::ServedBoard;
using link_test::TempDirectory;

using Bytes = std::vector<uint8_t>;

Bytes le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes framed(const Bytes& body)
{
    return cat({le32(static_cast<uint32_t>(body.size())), body});
}

// The body of a whole frame (its length prefix checked).
Bytes body_of(const Bytes& frame)
{
    FrameReader reader;
    reader.feed(frame);
    Bytes body;
    std::string error;
    EXPECT_EQ(reader.next(body, error), FrameReader::Result::frame) << error;
    EXPECT_EQ(reader.partial(), 0u);
    return body;
}

// ---- frames

TEST(LinkFrames, EveryMessageSurvivesTheRoundTrip)
{
    std::string error;
    const OpenRequest open{7};
    auto request = decode_request(body_of(encode(open)), error);
    ASSERT_TRUE(request) << error;
    EXPECT_EQ(std::get<OpenRequest>(*request), open);

    ControlRequest call{0x00222051, {8, 0, 0, 0}, 5, true, {1, 2, 3, 4, 5}};
    request = decode_request(body_of(*encode(call)), error);
    ASSERT_TRUE(request) << error;
    EXPECT_EQ(std::get<ControlRequest>(*request), call);

    ControlRequest read_call{0x0022204E, {8, 0, 0, 0}, 3, false, {}};
    request = decode_request(body_of(*encode(read_call)), error);
    ASSERT_TRUE(request) << error;
    EXPECT_EQ(std::get<ControlRequest>(*request), read_call);

    auto reply = decode_reply(body_of(encode(OpenReply{true, 0x0547, 0x2131})), error);
    ASSERT_TRUE(reply) << error;
    EXPECT_EQ(std::get<OpenReply>(*reply), (OpenReply{true, 0x0547, 0x2131}));

    const ControlReply answer{1, 3, {0xEC, 0x75, 0xA5}};
    reply = decode_reply(body_of(*encode(answer)), error);
    ASSERT_TRUE(reply) << error;
    EXPECT_EQ(std::get<ControlReply>(*reply), answer);
}

TEST(LinkFrames, TheWireFormatIsLittleEndianWithALengthPrefix)
{
    EXPECT_EQ(encode(OpenRequest{0x01020304}), (Bytes{6, 0, 0, 0, 0x01, 0x01, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(*encode(ControlReply{1, 2, {0xAA}}),
              (Bytes{14, 0, 0, 0, 0x82, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0xAA}));
}

TEST(LinkFrames, BuffersOverTheLimitsAreNotEncoded)
{
    EXPECT_FALSE(encode(ControlRequest{1, Bytes(max_in_length + 1), 0, false, {}}));
    EXPECT_FALSE(encode(ControlRequest{1, {}, max_out_length + 1, false, {}}));
    EXPECT_FALSE(encode(ControlRequest{1, {}, 4, true, {1, 2}}));  // out not the stated length
    EXPECT_FALSE(encode(ControlReply{1, 0, Bytes(max_out_length + 1)}));
    EXPECT_TRUE(encode(ControlRequest{1, Bytes(max_in_length), max_out_length, true, Bytes(max_out_length)}));
}

struct Malformed {
    const char* name;
    Bytes body;
    const char* error;  // a part of the expected error line
};

TEST(LinkFrames, MalformedRequestsAreRefusedWithTheirFault)
{
    const Bytes control_head = cat({{0x02}, le32(0x10), le32(2), le32(3)});
    const std::vector<Malformed> cases = {
        {"empty", {}, "empty message"},
        {"unknown kind", {0x07}, "unknown request kind 07"},
        {"a reply kind", {0x81, 0x01}, "unknown request kind 81"},
        {"open cut short", {0x01, 0x01, 0x00}, "open request cut short"},
        {"open of another version", cat({{0x01, 0x02}, le32(0)}), "protocol version 2, expected 1"},
        {"open with a tail", cat({{0x01, 0x01}, le32(0), {0x00}}), "1 bytes after the end of the open request"},
        {"control cut short", {0x02, 0x10, 0x00}, "control call cut short"},
        {"control input too long", cat({{0x02}, le32(0x10), le32(max_in_length + 1), le32(0), {0}}),
         "input of 16385 bytes, more than 16384"},
        {"control output too long", cat({{0x02}, le32(0x10), le32(0), le32(max_out_length + 1), {0}}),
         "output of 32769 bytes, more than 32768"},
        {"control flag", cat({control_head, {0x02}, {1, 2}}), "output flag 02"},
        {"control input short", cat({control_head, {0x00}, {1}}), "buffers cut short"},
        {"control output short", cat({control_head, {0x01}, {1, 2}, {9, 9}}), "buffers cut short"},
        {"control with a tail", cat({control_head, {0x00}, {1, 2}, {0}}), "1 bytes after the end of the control call"},
        {"length near 2^32", cat({{0x02}, le32(0x10), le32(0xFFFFFFFF), le32(0xFFFFFFFF), {0}}),
         "more than 16384"},
    };
    for (const Malformed& c : cases) {
        std::string error;
        EXPECT_FALSE(decode_request(c.body, error)) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.name;
    }
}

TEST(LinkFrames, MalformedRepliesAreRefusedWithTheirFault)
{
    const std::vector<Malformed> cases = {
        {"empty", {}, "empty message"},
        {"a request kind", cat({{0x01, 0x01}, le32(0)}), "unknown reply kind 01"},
        {"open reply flag", {0x81, 0x02, 0x47, 0x05, 0x31, 0x21}, "open reply flag 02"},
        {"open reply short", {0x81}, "open reply cut short"},
        {"control reply short", {0x82, 1, 0, 0, 0}, "control reply cut short"},
        {"control reply too long", cat({{0x82}, le32(1), le32(0), le32(max_out_length + 1)}),
         "more than 32768"},
        {"control reply data short", cat({{0x82}, le32(1), le32(0), le32(3), {1, 2}}), "data cut short"},
        {"control reply tail", cat({{0x82}, le32(1), le32(0), le32(0), {5}}), "after the end of the control reply"},
    };
    for (const Malformed& c : cases) {
        std::string error;
        EXPECT_FALSE(decode_reply(c.body, error)) << c.name;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    }
}

TEST(LinkFrames, TheReaderCutsFramesFromBytesArrivingOneByOne)
{
    const Bytes stream = cat({encode(OpenRequest{1}), *encode(ControlRequest{2, {9}, 0, false, {}}),
                              framed({})});
    FrameReader reader;
    std::vector<Bytes> bodies;
    for (uint8_t byte : stream) {
        reader.feed({&byte, 1});
        Bytes body;
        std::string error;
        while (reader.next(body, error) == FrameReader::Result::frame)
            bodies.push_back(body);
    }
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_EQ(bodies[0], body_of(encode(OpenRequest{1})));
    EXPECT_EQ(bodies[1].size(), 1u + 4 + 4 + 4 + 1 + 1);
    EXPECT_TRUE(bodies[2].empty());
    EXPECT_EQ(reader.partial(), 0u);
}

TEST(LinkFrames, AnOversizedLengthIsAnErrorBeforeItsBodyArrives)
{
    FrameReader reader;
    reader.feed(le32(max_body_length + 1));
    Bytes body;
    std::string error;
    EXPECT_EQ(reader.next(body, error), FrameReader::Result::error);
    EXPECT_NE(error.find("more than"), std::string::npos) << error;
    reader.feed(encode(OpenRequest{0}));  // nothing after an error is taken
    EXPECT_EQ(reader.next(body, error), FrameReader::Result::error);

    FrameReader largest;
    largest.feed(le32(max_body_length));
    EXPECT_EQ(largest.next(body, error), FrameReader::Result::need_more);
}

// ---- the rendezvous directory

class Environment {
public:
    explicit Environment(const char* name) : name_(name)
    {
        if (const char* v = std::getenv(name))
            saved_ = v;
    }
    ~Environment()
    {
        if (saved_)
            ::setenv(name_, saved_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> saved_;
};

TEST(LinkRendezvous, TheDirectoryComesFromTheRuntimeDirectoryOrTheUser)
{
    Environment keep("XDG_RUNTIME_DIR");
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4321", 1);
    EXPECT_EQ(rendezvous_directory(), "/run/user/4321/nebu-vboard");
    const std::string fallback = "/tmp/nebu-vboard-" + std::to_string(::getuid());
    ::setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(rendezvous_directory(), fallback);
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_EQ(rendezvous_directory(), fallback);
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(rendezvous_directory(), fallback);
    EXPECT_EQ(socket_path("/d", 12), "/d/ezusb-12");
}

TEST(LinkRendezvous, TheBoardCreatesTheDirectoryForThisUserAlone)
{
    TempDirectory tmp;
    const std::string dir = tmp.path + "/boards";
    const mode_t old_mask = ::umask(0);
    std::string error;
    const bool made = prepare_directory(dir, error);
    ::umask(old_mask);
    ASSERT_TRUE(made) << error;
    struct stat st{};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(prepare_directory(dir, error)) << "an existing safe directory is used as it is";

    EXPECT_FALSE(prepare_directory(tmp.path + "/missing/boards", error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

TEST(LinkRendezvous, UnsafeDirectoriesAreRefused)
{
    TempDirectory tmp;
    std::string error;

    const std::string open_dir = tmp.path + "/open";
    ASSERT_EQ(::mkdir(open_dir.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open_dir.c_str(), 0755), 0);
    EXPECT_FALSE(directory_safe(open_dir, error));
    EXPECT_NE(error.find("open to other users (mode 0755)"), std::string::npos) << error;
    EXPECT_FALSE(prepare_directory(open_dir, error)) << "an existing open directory is not tightened";

    const std::string target = tmp.path + "/target";
    const std::string link = tmp.path + "/link";
    ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_FALSE(directory_safe(link, error));
    EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;

    const std::string file = tmp.path + "/file";
    std::ofstream(file) << "x";
    EXPECT_FALSE(directory_safe(file, error));

    EXPECT_FALSE(directory_safe(tmp.path + "/none", error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    std::string listener_error;
    EXPECT_FALSE(Listener::open(open_dir, 0, listener_error));
    EXPECT_FALSE(Client::open(open_dir, 0));
}

TEST(LinkRendezvous, ADirectoryOfAnotherUserIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a directory away";
    TempDirectory tmp;
    const std::string dir = tmp.path + "/theirs";
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chown(dir.c_str(), 4321, 4321), 0);
    std::string error;
    EXPECT_FALSE(directory_safe(dir, error));
    EXPECT_NE(error.find("belongs to user 4321"), std::string::npos) << error;
}

TEST(LinkRendezvous, OneBoardPerNumberAndAStaleSocketIsReplaced)
{
    TempDirectory tmp;
    const std::string dir = tmp.path + "/boards";
    std::string error;
    {
        auto first = Listener::open(dir, 2, error);
        ASSERT_TRUE(first) << error;
        EXPECT_FALSE(Listener::open(dir, 2, error));
        EXPECT_NE(error.find("board 2 is already running"), std::string::npos) << error;
        EXPECT_TRUE(Listener::open(dir, 3, error)) << error;
    }
    struct stat st{};
    EXPECT_NE(::lstat(socket_path(dir, 2).c_str(), &st), 0) << "the socket is removed at the end";
    EXPECT_NE(::lstat((socket_path(dir, 2) + ".lock").c_str(), &st), 0) << "so is the lock file";

    std::ofstream(socket_path(dir, 2)) << "left behind";
    auto again = Listener::open(dir, 2, error);
    ASSERT_TRUE(again) << error;
    ASSERT_EQ(::lstat(socket_path(dir, 2).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    EXPECT_FALSE(Listener::open(dir, -1, error));
    EXPECT_FALSE(Listener::open(dir + "/" + std::string(120, 'x'), 0, error));
}

// ---- the server

// A raw connection, for sending what a client never would.
class Raw {
public:
    explicit Raw(const std::string& path)
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
        timeval limit{10, 0};  // a failing test must not hang
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~Raw() { ::close(fd_); }

    void send(const Bytes& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())); }
    void end_sending() { ::shutdown(fd_, SHUT_WR); }
    // Everything until the server closes; nothing more after the limit.
    Bytes until_closed()
    {
        Bytes got;
        uint8_t chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }
    Bytes receive(size_t count)
    {
        Bytes got;
        uint8_t chunk[4096];
        while (got.size() < count) {
            const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, count - got.size()), 0);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

private:
    int fd_ = -1;
};

class LinkServer : public ::testing::Test {
protected:
    TempDirectory tmp;
    std::string dir = tmp.path + "/boards";
    ServedBoard board{dir, 3};

    std::string path() const { return socket_path(dir, 3); }

    // A well-behaved client still gets its answers.
    void expect_served()
    {
        auto client = Client::open(dir, 3);
        ASSERT_TRUE(client);
        const auto reply = client->call({code_echo, {1, 2, 3}, 8, false, {}});
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->out, (Bytes{1, 2, 3}));
    }
};

TEST_F(LinkServer, ControlCallsCarryBothBuffersAndTheDriversAnswer)
{
    auto client = Client::open(dir, 3);
    ASSERT_TRUE(client);

    auto reply = client->call({code_echo, {5, 6, 7, 8}, 2, true, {0, 0}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (ControlReply{1, 2, {5, 6}}));

    reply = client->call({code_take, {1, 0, 0, 0}, 3, true, {0xA, 0xB, 0xC}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->returned, 3u);

    reply = client->call({code_fail, {}, 0, false, {}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0u);

    const Bytes big(max_out_length, 0x5A);
    reply = client->call({code_take, {}, max_out_length, true, big});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->returned, max_out_length);

    EXPECT_FALSE(client->call({code_take, {}, max_out_length + 1, false, {}})) << "over the limit";
    EXPECT_FALSE(client->broken()) << "a refused call leaves the connection as it was";
    client.reset();
    expect_served();

    board.stop = true;
    board.thread.join();
    board.server->poll_once(0);  // notices the last close
    std::lock_guard lock(board.service.mutex);
    ASSERT_EQ(board.service.taken.size(), 2u);
    EXPECT_EQ(board.service.taken[0], (Bytes{0xA, 0xB, 0xC}));
    EXPECT_EQ(board.service.taken[1], big);
    EXPECT_EQ(board.service.handles_used.front(), 100u);
    EXPECT_EQ(board.service.closed, (std::vector<uint64_t>{100, 101})) << "closing the connection closes the handle";
}

TEST_F(LinkServer, NoDeviceAndNoBoardBothRefuseTheOpen)
{
    {
        std::lock_guard lock(board.service.mutex);
        board.service.present = false;
    }
    EXPECT_FALSE(Client::open(dir, 3)) << "board running, device not on the bus";
    EXPECT_FALSE(Client::open(dir, 4)) << "no board with that number";
    EXPECT_FALSE(Client::open(tmp.path + "/nowhere", 3)) << "no directory";

    Raw raw(path());
    raw.send(encode(OpenRequest{4}));  // asks the board for another number
    EXPECT_EQ(raw.receive(10), encode(OpenReply{false}));
}

TEST_F(LinkServer, RequestsSentTogetherAreAnsweredInOrder)
{
    Raw raw(path());
    raw.send(cat({encode(OpenRequest{3}), *encode(ControlRequest{code_echo, {1}, 1, false, {}}),
                  *encode(ControlRequest{code_echo, {2, 2}, 2, false, {}})}));
    EXPECT_EQ(raw.receive(10 + 18 + 19),
              cat({encode(OpenReply{true, 0x0547, 0x2131}), *encode(ControlReply{1, 1, {1}}), *encode(ControlReply{1, 2, {2, 2}})}));
}

TEST_F(LinkServer, MalformedInputEndsOnlyThatConnection)
{
    const Bytes open = encode(OpenRequest{3});
    const struct {
        const char* name;
        Bytes bytes;
        bool end_sending;
        const char* logged;
    } cases[] = {
        {"unknown kind", framed({0x55}), false, "unknown request kind 55"},
        {"oversized length", le32(0x7FFFFFFF), false, "more than"},
        {"cut short, then closed", cat({le32(20), {0x02, 0x00}}), true, "closed inside a message (6 bytes of it)"},
        {"control before open", *encode(ControlRequest{code_echo, {}, 0, false, {}}), false, "without an open device"},
        {"second open", cat({open, open}), false, "second open request"},
        {"bad body after open", cat({open, framed({0x02, 0x01})}), false, "control call cut short"},
        {"garbage", Bytes(64, 0xFF), false, "more than"},
    };
    size_t lines = 0;
    for (const auto& c : cases) {
        {
            Raw raw(path());
            raw.send(c.bytes);
            if (c.end_sending)
                raw.end_sending();
            raw.until_closed();  // the server ends the connection, after logging why
        }
        const auto log = board.log_lines();
        ASSERT_EQ(log.size(), ++lines) << c.name;
        EXPECT_NE(log.back().find(c.logged), std::string::npos) << c.name << ": " << log.back();
        EXPECT_EQ(log.back().find('\n'), std::string::npos) << c.name;
        expect_served();
    }
}

TEST_F(LinkServer, AConnectionThatHoldsAHalfMessageIsEndedAfterTheLimit)
{
    Raw stalled(path());
    stalled.send(cat({le32(10), {0x01}}));
    expect_served();  // meanwhile the others are served
    EXPECT_EQ(board.log_lines().size(), 0u);

    board.clock_offset_ms += 5000;
    stalled.until_closed();
    const auto log = board.log_lines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("unfinished for 5000 ms"), std::string::npos) << log[0];
    expect_served();
}

TEST_F(LinkServer, IdleConnectionsCannotLockAClientOut)
{
    // More idle peers than the table holds: each newcomer takes the place of
    // the quietest, so a real client still gets in and is served.
    std::vector<std::unique_ptr<Raw>> idle;
    for (int k = 0; k < Server::max_connections + 8; ++k)
        idle.push_back(std::make_unique<Raw>(path()));
    auto client = Client::open(dir, 3);
    ASSERT_TRUE(client) << "idle connections locked the client out";
    auto echo = client->call({code_echo, {9}, 1, false, {}});
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->out, Bytes{9});

    // A peer that never opens the device is ended after the limit; the
    // client that did open stays.
    board.clock_offset_ms += 5000;
    idle.back()->until_closed();
    bool logged = false;
    for (const std::string& line : board.log_lines())
        logged = logged || line.find("no open request within 5000 ms") != std::string::npos;
    EXPECT_TRUE(logged);
    echo = client->call({code_echo, {7}, 1, false, {}});
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->out, Bytes{7});
}

}  // namespace
