// The peer, the raw clients and the frames of the raw baselines, checked
// against the session library itself: the baselines must put exactly the
// library's bytes on the wire for the comparison to hold.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "RawClient.h"
#include "TqMessages.h"
#include "TqSession.h"
#include "TqWire.h"
#include "WireFrames.h"
#include "WirePeer.h"

namespace bench {
namespace {

constexpr int kWait = 5;  // seconds, for the session library's calls
constexpr size_t kReplyLength = tqwire::kFrameHeaderSize + sizeof(tqmsg::EraseDataResp);

tqsExecuteRemoteDllType indexService() {
    tqsExecuteRemoteDllType service{};
    std::strncpy(service.remoteLibraryName, tqmsg::kRemoteIndexLibrary,
                 sizeof service.remoteLibraryName);
    std::strncpy(service.remoteEntryName, tqmsg::kRemoteIndexEntry,
                 sizeof service.remoteEntryName);
    return service;
}

// Waits until the peer has seen `frames` frames (it serves on its own thread).
bool peerSaw(const WirePeer& peer, size_t frames) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kWait);
    while (peer.frames().size() < frames) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int32_t statusOf(const std::string& reply) {
    tqsDatabuf_v2 decoded;
    tqmsg::EraseDataResp response{};
    decoded.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
    const CYxError result = tqwire::decodeBody(tqmsg::kEraseDataResp,
                                               reply.data() + tqwire::kFrameHeaderSize,
                                               reply.size() - tqwire::kFrameHeaderSize, decoded);
    return result.IsError() ? -1 : response.status;
}

TEST(WireFramesTest, SizesOfTheComparedFrames) {
    const auto record = eraseRecord(4711, 10, 33, kErasePath);
    // Header, four ints, the path's length word and its 16 bytes, the kind.
    EXPECT_EQ(eraseRequestFrame(record).size(), 16u + 16 + 4 + 16 + 4);
    EXPECT_EQ(eraseResponseFrame(1).size(), kReplyLength);
    EXPECT_EQ(pruneRequestFrame(tqmsg::AfPruneReq{}).size(), 16u + 44);
    EXPECT_EQ(acceptFrame().size(), 16u + 4);
}

TEST(WireFramesTest, RawFramesAreTheBytesTheSessionLibrarySends) {
    WirePeer peer(true);
    CTqNetwork session;
    tqsExecuteRemoteDllType service = indexService();
    bool timedOut = false;
    ASSERT_FALSE(session.Attach_RemoteDLL(peer.host().c_str(), &service, "bench", kWait, timedOut)
                     .IsError());

    tqmsg::EraseDataReq erase = eraseRecord(4711, 10, 33, kErasePath);
    tqsDatabuf_v2 buffer;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&erase), sizeof erase + sizeof kErasePath);
    ASSERT_FALSE(session.SendXDRMessage(tqmsg::kEraseDataReq, &buffer, 0, kWait, timedOut).IsError());
    tqmsg::EraseDataResp response{};
    buffer.setExternalBuffer(reinterpret_cast<char*>(&response), sizeof response);
    unsigned long code = 0;
    ASSERT_FALSE(session.ReceiveXDRMessage(&code, &buffer, nullptr, 0, kWait, timedOut).IsError());
    EXPECT_EQ(code, tqmsg::kEraseDataResp);
    EXPECT_EQ(response.status, 1);

    tqmsg::AfPruneReq prune{};
    prune.cloudId = 3;
    prune.vornCellNumber = 4711;
    prune.archiveFileId = 77;
    prune.auxValue1 = -1;
    buffer.setExternalBuffer(reinterpret_cast<char*>(&prune), sizeof prune);
    ASSERT_FALSE(session.SendXDRMessage(tqmsg::kAfPruneReq, &buffer, 0, kWait, timedOut).IsError());

    ASSERT_TRUE(peerSaw(peer, 3));
    const auto frames = peer.frames();
    EXPECT_EQ(frames[0], helloFrame("bench"));
    EXPECT_EQ(frames[1], eraseRequestFrame(erase));
    EXPECT_EQ(frames[2], pruneRequestFrame(prune));
}

TEST(WirePeerTest, AnswersHelloAndEraseAtOnceAndReadsPrunesSilently) {
    WirePeer peer;
    RawSocket socket(peer.port());
    socket.writeAll(helloFrame("raw"));
    std::string accept(acceptFrame().size(), '\0');
    socket.readExactly(&accept[0], accept.size());
    EXPECT_EQ(accept, acceptFrame());

    // Prunes get no answer: the reply that follows is the erase's.
    const std::string prune = pruneRequestFrame(tqmsg::AfPruneReq{});
    socket.writeAll(prune + prune + eraseRequestFrame(eraseRecord(1, 2, 3, "/p")));
    std::string reply(kReplyLength, '\0');
    socket.readExactly(&reply[0], reply.size());
    EXPECT_EQ(statusOf(reply), 1);

    const WirePeer::Counts counts = peer.counts();
    EXPECT_EQ(counts.connections, 1u);
    EXPECT_EQ(counts.hellos, 1u);
    EXPECT_EQ(counts.prunes, 2u);
    EXPECT_EQ(counts.erases, 1u);
}

TEST(WirePeerTest, FrameSplitAcrossWritesIsAnsweredOnceWhole) {
    WirePeer peer;
    RawSocket socket(peer.port());
    const std::string frame = eraseRequestFrame(eraseRecord(1, 2, 3, kErasePath));
    socket.writeAll(frame.substr(0, 10));  // inside the header
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    socket.writeAll(frame.substr(10, 20));  // inside the body
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(peer.counts().erases, 0u);
    socket.writeAll(frame.substr(30));
    std::string reply(kReplyLength, '\0');
    socket.readExactly(&reply[0], reply.size());
    EXPECT_EQ(statusOf(reply), 1);
    EXPECT_EQ(peer.counts().erases, 1u);
}

TEST(WirePeerTest, BadFrameEndsTheConnection) {
    WirePeer peer;
    RawSocket socket(peer.port());
    socket.writeAll(std::string(tqwire::kFrameHeaderSize, 'x'));
    char byte = 0;
    EXPECT_EQ(::recv(socket.fd(), &byte, 1, 0), 0);  // closed by the peer
    EXPECT_EQ(peer.counts().dropped, 1u);
}

TEST(RawSocketTest, GracefulCloseReturnsOnceThePeerHasReadEverything) {
    WirePeer peer;
    RawSocket socket(peer.port());
    const std::string prune = pruneRequestFrame(tqmsg::AfPruneReq{});
    for (int i = 0; i < 1000; ++i) socket.writeAll(prune);
    socket.closeGracefully();
    EXPECT_EQ(peer.counts().prunes, 1000u);
}

TEST(RawSocketTest, ConnectingWhereNothingListensThrows) {
    uint16_t port = 0;
    {
        WirePeer gone;
        port = gone.port();
    }
    EXPECT_THROW(RawSocket{port}, std::runtime_error);
}

}  // namespace
}  // namespace bench
