#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Support/FusePeer.h"
#include "vorlane-fused/FuseServer.h"
#include "vorlane-fused/MemoryFileSystem.h"
#include "vorlane-fused/PassthroughFileSystem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using fused::FuseServer;
using testing_support::bytesOf;
using namespace std::string_view_literals;

// The volume's side of a session: writes raw requests and reads raw replies.
class Session {
public:
    explicit Session(fused::DaemonFeatures features = {}, fused::FileSystemBackend* backend = nullptr)
    {
        int ends[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
        volumeEnd = ends[0];
        // A reply that never comes fails the read instead of hanging the test.
        timeval limit { 10, 0 };
        EXPECT_EQ(setsockopt(volumeEnd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
        server = std::make_unique<FuseServer>(ends[1], backend ? *backend : fileSystem, features);
        ending = std::async(std::launch::async, [this] { return server->serve(); });
    }

    ~Session()
    {
        close(volumeEnd);
        if (ending.valid())
            ending.wait();
    }

    void send(std::uint32_t opcode, std::uint64_t node, const std::vector<std::byte>& body,
        std::uint64_t unique = 7)
    {
        testing_support::writeFuseRequest(volumeEnd, opcode, unique, node, body);
    }

    using Reply = testing_support::FuseReply;

    // Sends a request and answers its reply, which must carry no error when `error` is 0.
    Reply call(
        std::uint32_t opcode, std::uint64_t node, const std::vector<std::byte>& body, std::int32_t error = 0)
    {
        send(opcode, node, body);
        Reply reply = receive();
        EXPECT_EQ(reply.header.error, -error) << "opcode " << opcode;
        return reply;
    }

    // The reply to a request that must succeed, as the structure it must be.
    template <typename T>
    T answer(std::uint32_t opcode, std::uint64_t node, const std::vector<std::byte>& body)
    {
        Reply reply = call(opcode, node, body);
        EXPECT_EQ(reply.payload.size(), sizeof(T));
        T value {};
        std::memcpy(&value, reply.payload.data(), std::min(sizeof(T), reply.payload.size()));
        return value;
    }

    Reply receive() { return testing_support::readFuseReply(volumeEnd); }

    fused::MemoryFileSystem fileSystem;
    int volumeEnd = -1;
    std::unique_ptr<FuseServer> server;
    std::future<FuseServer::Ending> ending;
};

// A request body: FUSE structures as they are, names with their zero byte, other bytes as they are.
template <typename... Parts> std::vector<std::byte> body(const Parts&... parts)
{
    std::vector<std::byte> bytes;
    auto append = [&bytes]<typename Part>(const Part& part) {
        std::vector<std::byte> more;
        if constexpr (std::is_convertible_v<Part, std::string_view>)
            more = bytesOf(std::string(part) + '\0');
        else if constexpr (vl::FuseStructure<Part>)
            more = bytesOf(part);
        else
            more = part;
        bytes.insert(bytes.end(), more.begin(), more.end());
    };
    (append(parts), ...);
    return bytes;
}

std::vector<std::byte> readRequest(std::uint64_t handle, std::uint64_t offset, std::uint32_t size)
{
    return bytesOf(vl::fuse_read_in { handle, offset, size, 0, 0, 0, 0 });
}

TEST(FuseServer, InitAnnouncesVersion719AndOnlyTheOfferedFeaturesItHas)
{
    auto init = [](Session& session, std::uint32_t offered) {
        return session.answer<vl::fuse_init_out>(
            vl::FUSE_INIT, 0, bytesOf(vl::fuse_init_in { 7, 19, vl::FUSE_VOLUME_MAX_READAHEAD, offered }));
    };
    Session plain;
    vl::fuse_init_out answer = init(plain, vl::FUSE_INIT_VOLUME_OFFER);
    EXPECT_EQ(std::tie(answer.major, answer.minor, answer.max_readahead, answer.flags, answer.max_write),
        std::tuple(7u, 19u, vl::FUSE_VOLUME_MAX_READAHEAD, 0u, FuseServer::maximumWrite));

    Session featured({ .caseInsensitive = true, .volumeRename = true, .extendedAccess = true });
    EXPECT_EQ(init(featured, vl::FUSE_INIT_VOLUME_OFFER).flags,
        vl::FUSE_INIT_VOLUME_RENAME | vl::FUSE_INIT_CASE_INSENSITIVE | vl::FUSE_INIT_EXTENDED_ACCESS);
    EXPECT_EQ(init(featured, vl::FUSE_INIT_CASE_INSENSITIVE).flags, vl::FUSE_INIT_CASE_INSENSITIVE);
}

TEST(FuseServer, MalformedBodiesAreRefusedWithEinvalAndUnknownOpcodesWithEnosys)
{
    Session session;
    // Names without their zero byte, with more after it, or empty; bodies of the wrong size.
    for (const auto& [opcode, malformed] :
        std::initializer_list<std::pair<std::uint32_t, std::vector<std::byte>>> {
            { vl::FUSE_LOOKUP, bytesOf("ab"sv) }, { vl::FUSE_LOOKUP, bytesOf("a\0b\0"sv) },
            { vl::FUSE_LOOKUP, std::vector<std::byte>(1) }, { vl::FUSE_GETATTR, std::vector<std::byte>(1) },
            { vl::FUSE_STATFS, std::vector<std::byte>(1) }, { vl::FUSE_INIT, std::vector<std::byte>(8) } })
        session.call(opcode, 1, malformed, posix::einval);
    session.send(37, 2, std::vector<std::byte>(8), 99);
    Session::Reply unknown = session.receive();
    EXPECT_EQ(std::pair(unknown.header.error, unknown.header.unique), std::pair(-posix::enosys, 99ul));
    // The session is still in order after all of them.
    auto statistics = session.answer<vl::fuse_statfs_out>(vl::FUSE_STATFS, 1, {});
    EXPECT_EQ(statistics.st.frsize, 4096u);
    EXPECT_GT(statistics.st.blocks, 0u);
}

TEST(FuseServer, ForgetIsNeverAnsweredAndGivesBackTheLookups)
{
    Session session;
    std::uint64_t file = session.fileSystem.makeFile(1, "f", 0644, "");
    for (int lookup = 0; lookup < 3; ++lookup)
        session.call(vl::FUSE_LOOKUP, 1, body("f"));
    EXPECT_EQ(session.fileSystem.lookupTally(), (fused::LookupTally { 1, 3 }));
    session.send(vl::FUSE_FORGET, file, bytesOf(vl::fuse_forget_in { 2 }), 10);
    session.send(vl::FUSE_FORGET, 99, bytesOf(vl::fuse_forget_in { 5 }), 11);
    session.send(vl::FUSE_FORGET, file, std::vector<std::byte>(4), 12);
    session.send(vl::FUSE_STATFS, 1, {}, 13);
    // The first bytes after the forgets answer STATFS, and each forget was applied before it.
    EXPECT_EQ(session.receive().header.unique, 13u);
    EXPECT_EQ(session.fileSystem.lookupCount(file), 1u);
    session.send(vl::FUSE_FORGET, file, bytesOf(vl::fuse_forget_in { 7 }), 14);
    ::shutdown(session.volumeEnd, SHUT_WR);
    EXPECT_EQ(session.ending.get(), FuseServer::Ending::peerClosed);
    EXPECT_EQ(session.fileSystem.lookupTally(), fused::LookupTally {});
}

TEST(FuseServer, SetattrChangesWhatItsValidBitsNameAndNothingWhenItFails)
{
    Session session;
    std::uint64_t file = session.fileSystem.makeFile(1, "f", 0644, "abc");
    vl::fuse_setattr_in change {};
    change.valid = vl::FATTR_MODE | vl::FATTR_UID | vl::FATTR_GID | vl::FATTR_SIZE | vl::FATTR_ATIME
        | vl::FATTR_MTIME | vl::FATTR_CHGTIME | vl::FATTR_CRTIME | vl::FATTR_FLAGS | vl::FATTR_FH;
    change.mode = S_IFDIR | 04600; // the type bits of a request are not applied
    change.uid = 501, change.gid = 20, change.size = 600, change.flags = 0x8000;
    change.atime = 100, change.atimensec = 1, change.mtime = 200, change.mtimensec = 2;
    change.chgtime = 300, change.chgtimensec = 3, change.crtime = 400, change.crtimensec = 4;
    vl::fuse_attr changed = session.answer<vl::fuse_attr_out>(vl::FUSE_SETATTR, file, bytesOf(change)).attr;
    EXPECT_EQ(std::tie(changed.ino, changed.mode, changed.uid, changed.gid, changed.size, changed.blocks,
                  changed.flags),
        std::tuple(file, S_IFREG | 04600u, 501u, 20u, 600u, 2u, 0x8000u));
    EXPECT_EQ(std::tie(changed.atime, changed.atimensec, changed.mtime, changed.mtimensec, changed.ctime,
                  changed.ctimensec, changed.crtime, changed.crtimensec),
        std::tuple(100, 1, 200, 2, 300, 3, 400, 4));

    vl::fuse_setattr_in late {};
    late.valid = vl::FATTR_MODE | vl::FATTR_MTIME;
    late.mtimensec = 1'000'000'000;
    session.call(vl::FUSE_SETATTR, file, bytesOf(late), posix::einval);
    late.valid = vl::FATTR_MODE | vl::FATTR_SIZE;
    session.call(vl::FUSE_SETATTR, 1, bytesOf(late), posix::eisdir);
    EXPECT_EQ(session.fileSystem.attributes(file).mode, S_IFREG | 04600u);
    EXPECT_EQ(session.fileSystem.attributes(1).mode, S_IFDIR | 0755u);
}

// A memory file system whose attributes of node 2 wait for the test to open a gate.
class GatedFileSystem final : public fused::MemoryFileSystem {
public:
    vl::fuse_attr attributes(std::uint64_t node) override
    {
        if (node == 2) {
            entered.set_value();
            if (gate.wait_for(std::chrono::seconds(60)) != std::future_status::ready)
                throw std::runtime_error("the gate was never opened");
        }
        return MemoryFileSystem::attributes(1);
    }

    std::promise<void> entered;
    std::promise<void> opened;
    std::shared_future<void> gate = opened.get_future().share();
};

TEST(FuseServer, ARequestTheBackendIsSlowToAnswerHoldsUpNoOtherButDestroy)
{
    GatedFileSystem backend;
    Session session({}, &backend);
    session.send(vl::FUSE_GETATTR, 2, bytesOf(vl::fuse_getattr_in {}), 1);
    ASSERT_EQ(backend.entered.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
    session.send(vl::FUSE_STATFS, 1, {}, 2);
    EXPECT_EQ(session.receive().header.unique, 2u);
    session.send(vl::FUSE_DESTROY, 1, {}, 3);
    backend.opened.set_value();
    EXPECT_EQ(session.receive().header.unique, 1u);
    EXPECT_EQ(session.receive().header.unique, 3u);
    EXPECT_EQ(session.ending.get(), FuseServer::Ending::destroyed);
}

TEST(FuseServer, OneHandleReadsAndWritesWhateverItsOpenAskedAndReadsShortOnlyAtTheEnd)
{
    Session session;
    std::uint64_t file = session.fileSystem.makeFile(1, "f", 0644, "hello");
    auto handle
        = session.answer<vl::fuse_open_out>(vl::FUSE_OPEN, file, bytesOf(vl::fuse_open_in { 0, 0 })).fh;
    EXPECT_EQ(session
                  .answer<vl::fuse_write_out>(vl::FUSE_WRITE, file,
                      body(vl::fuse_write_in { handle, 8, 2, 0, 0, 0, 0 }, bytesOf("xy"sv)))
                  .size,
        2u);
    // The gap reads as zeros; a read across the end is short, one past it empty.
    EXPECT_EQ(
        session.call(vl::FUSE_READ, file, readRequest(handle, 3, 100)).payload, bytesOf("lo\0\0\0xy"sv));
    EXPECT_EQ(session.call(vl::FUSE_READ, file, readRequest(handle, 10, 4)).header.len, 16u);
    EXPECT_EQ(session.fileSystem.attributes(file).size, 10u);
    session.call(vl::FUSE_FSYNC, file, bytesOf(vl::fuse_fsync_in { handle, 1, 0 }));

    auto directory = session.answer<vl::fuse_open_out>(vl::FUSE_OPENDIR, 1, bytesOf(vl::fuse_open_in {})).fh;
    session.call(vl::FUSE_FSYNCDIR, 1, bytesOf(vl::fuse_fsync_in { directory, 0, 0 }));
    // A handle of the other kind, or of another node, is refused.
    session.call(vl::FUSE_RELEASE, 1, bytesOf(vl::fuse_release_in { directory, 0, 0, 0 }), posix::ebadf);
    session.call(vl::FUSE_READ, 1, readRequest(handle, 0, 1), posix::ebadf);
    session.call(vl::FUSE_OPENDIR, file, bytesOf(vl::fuse_open_in {}), posix::enotdir);
    session.call(vl::FUSE_OPEN, 1, bytesOf(vl::fuse_open_in { 2, 0 }), posix::eisdir);
    session.call(vl::FUSE_OPEN, file, bytesOf(vl::fuse_open_in { 0x40000000, 0 }), posix::einval);
    // A write whose data is shorter than its size says, and a read larger than any, are malformed.
    session.call(vl::FUSE_WRITE, file, body(vl::fuse_write_in { handle, 0, 3, 0, 0, 0, 0 }, bytesOf("ab"sv)),
        posix::einval);
    session.call(vl::FUSE_READ, file, readRequest(handle, 0, FuseServer::maximumWrite + 1), posix::einval);
    session.call(vl::FUSE_RELEASEDIR, 1, bytesOf(vl::fuse_release_in { directory, 0, 0, 0 }));
    session.call(vl::FUSE_RELEASE, file, bytesOf(vl::fuse_release_in { handle, 0, 0, 0 }));
    session.call(vl::FUSE_READ, file, readRequest(handle, 0, 1), posix::ebadf);
    // The volume's I/O size follows the largest transfer.
    EXPECT_EQ(session.answer<vl::fuse_statfs_out>(vl::FUSE_STATFS, 1, {}).st.bsize, FuseServer::maximumWrite);
}

struct Record {
    std::uint64_t ino, off;
    std::uint32_t type;
    std::string name;
    bool operator==(const Record&) const = default;
};

// The records of a READDIR reply, checked byte for byte: each fixed part, its name and zero
// padding to the next multiple of 8, nothing after the last.
std::vector<Record> recordsOf(const std::vector<std::byte>& payload)
{
    std::vector<Record> records;
    for (std::size_t at = 0; at < payload.size();) {
        vl::fuse_dirent fixed {};
        std::memcpy(&fixed, payload.data() + at, std::min(sizeof(fixed), payload.size() - at));
        const std::size_t length = (24 + fixed.namelen + 7) / 8 * 8;
        if (at + length > payload.size()) {
            ADD_FAILURE() << "a record runs past the reply's end";
            break;
        }
        std::string name(reinterpret_cast<const char*>(payload.data()) + at + 24, fixed.namelen);
        EXPECT_TRUE(std::all_of(payload.begin() + static_cast<std::ptrdiff_t>(at + 24 + fixed.namelen),
            payload.begin() + static_cast<std::ptrdiff_t>(at + length),
            [](std::byte b) { return b == std::byte { 0 }; }))
            << name;
        records.push_back({ fixed.ino, fixed.off, fixed.type, name });
        at += length;
    }
    return records;
}

TEST(FuseServer, ReaddirPacksPaddedRecordsWithCookiesThatResumeWhileEntriesComeAndGo)
{
    Session session;
    std::uint64_t a = session.fileSystem.makeFile(1, "a", 0644, "");
    std::uint64_t five = session.fileSystem.makeDirectory(1, "bbbbb", 0755);
    std::uint64_t eight = session.fileSystem.makeFile(1, "cccccccc", 0644, "");
    auto handle = session.answer<vl::fuse_open_out>(vl::FUSE_OPENDIR, 1, bytesOf(vl::fuse_open_in {})).fh;
    std::vector<Record> records
        = recordsOf(session.call(vl::FUSE_READDIR, 1, readRequest(handle, 0, 10240)).payload);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0], (Record { 1, 1, 4, "." }));
    EXPECT_EQ(records[1], (Record { 1, 2, 4, ".." }));
    EXPECT_EQ(records[2].ino, a);
    EXPECT_EQ(std::tie(records[3].ino, records[3].type, records[3].name), std::tuple(five, 4u, "bbbbb"));
    EXPECT_EQ(std::tie(records[4].ino, records[4].type, records[4].name), std::tuple(eight, 8u, "cccccccc"));

    // A reply holds only whole records; the next resumes after the last one taken, and an entry
    // removed or added meanwhile neither repeats nor hides one that stayed.
    std::vector<Record> first
        = recordsOf(session.call(vl::FUSE_READDIR, 1, readRequest(handle, 2, 63)).payload);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].name, "a");
    session.call(vl::FUSE_RMDIR, 1, body("bbbbb"));
    std::uint64_t late = session.fileSystem.makeFile(1, "d", 0644, "");
    std::vector<Record> rest
        = recordsOf(session.call(vl::FUSE_READDIR, 1, readRequest(handle, first[0].off, 10240)).payload);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_EQ(rest[0], records[4]);
    EXPECT_EQ(std::tie(rest[1].ino, rest[1].name), std::tuple(late, "d"));
    EXPECT_TRUE(recordsOf(session.call(vl::FUSE_READDIR, 1, readRequest(handle, rest[1].off, 10240)).payload)
                    .empty());
    session.call(vl::FUSE_READDIR, 1, readRequest(handle + 1, 0, 10240), posix::ebadf);
}

// A scratch directory for a passthrough backend, removed with the test.
struct ScratchDirectory {
    ScratchDirectory()
    {
        std::string pattern = testing::TempDir() + "fuse-server-XXXXXX";
        path = ::mkdtemp(pattern.data());
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path); }
    std::filesystem::path path;
};

// Every entry a making request answers counts one lookup; and what the kernel never sends but a
// volume might, each backend refuses as Linux would, with Darwin's errno, changing nothing. The
// ordinary operations run through real mounts in the end-to-end tests.
TEST(FuseServer, NamesMadeCountLookupsAndWhatLinuxWouldRefuseIsRefusedOnBothBackends)
{
    ScratchDirectory scratch;
    fused::PassthroughFileSystem passthrough(scratch.path);
    for (bool memory : { true, false }) {
        Session session({}, memory ? nullptr : &passthrough);
        auto made = [&](std::uint32_t opcode, std::uint64_t parent, std::vector<std::byte> request) {
            return session.answer<vl::fuse_entry_out>(opcode, parent, request).nodeid;
        };
        std::uint64_t d = made(vl::FUSE_MKDIR, 1, body(vl::fuse_mkdir_in { 0755, 0 }, "d"));
        made(vl::FUSE_MKNOD, d, body(vl::fuse_mknod_in { S_IFREG | 0644, 0, 0, 0 }, "x"));
        std::uint64_t f = made(vl::FUSE_MKNOD, 1, body(vl::fuse_mknod_in { S_IFREG | 0644, 0, 0, 0 }, "f"));
        session.call(vl::FUSE_SETXATTR, f, body(vl::fuse_setxattr_in { 0, 0, 0, 0 }, "user.e"));
        vl::fuse_entry_out created {};
        std::memcpy(&created,
            session.call(vl::FUSE_CREATE, 1, body(vl::fuse_create_in { 0xA02, 0644, 0, 0 }, "c"))
                .payload.data(),
            sizeof created);
        made(vl::FUSE_LINK, 1, body(vl::fuse_link_in { created.nodeid }, "c2"));
        made(vl::FUSE_SYMLINK, 1, body("l", "c"));
        // Each entry answered counts one lookup: the file twice (create, link), the others once.
        fused::FileSystemBackend& backend
            = memory ? static_cast<fused::FileSystemBackend&>(session.fileSystem) : passthrough;
        EXPECT_EQ(backend.lookupTally(), (fused::LookupTally { 5, 6 }));
        using Refusal = std::tuple<std::uint32_t, std::uint64_t, std::vector<std::byte>, std::int32_t>;
        for (const auto& [opcode, node, request, error] :
            std::initializer_list<Refusal> {
                { vl::FUSE_MKDIR, 1, body(vl::fuse_mkdir_in { 0755, 0 }, std::string(256, 'n')),
                    posix::enametoolong },
                { vl::FUSE_MKDIR, 1, body(vl::fuse_mkdir_in { 0755, 0 }, ".."), posix::einval },
                { vl::FUSE_MKNOD, 1, body(vl::fuse_mknod_in { S_IFDIR | 0755, 0, 0, 0 }, "q"),
                    posix::einval },
                { vl::FUSE_CREATE, 1, body(vl::fuse_create_in { 0xA02, 0644, 0, 0 }, "f"), posix::eexist },
                { vl::FUSE_READLINK, f, {}, posix::einval },
                { vl::FUSE_LINK, 1, body(vl::fuse_link_in { d }, "h"), posix::eperm },
                { vl::FUSE_RMDIR, 1, body("d"), posix::enotempty },
                { vl::FUSE_UNLINK, 1, body("d"), posix::eisdir },
                { vl::FUSE_RMDIR, 1, body("f"), posix::enotdir },
                { vl::FUSE_UNLINK, 1, body("none"), posix::enoent },
                { vl::FUSE_RENAME, 1, body(vl::fuse_rename_in { 1, 4, 0 }, "f", "d"), posix::eexist },
                { vl::FUSE_RENAME, 1, body(vl::fuse_rename_in { 1, 6, 0 }, "f", "d"), posix::einval },
                { vl::FUSE_RENAME, 1, body(vl::fuse_rename_in { 1, 0, 0 }, "f", "d"), posix::eisdir },
                { vl::FUSE_RENAME, 1, body(vl::fuse_rename_in { d, 0, 0 }, "d", "y"), posix::einval },
                { vl::FUSE_SETXATTR, f, body(vl::fuse_setxattr_in { 0, 4, 0, 0 }, "user.w"), posix::enoattr },
                { vl::FUSE_GETXATTR, f, body(vl::fuse_getxattr_in { 8, 0, 1, 0 }, "user.e"), posix::einval },
                { vl::FUSE_LISTXATTR, f, bytesOf(vl::fuse_getxattr_in { 6, 0, 0, 0 }), posix::erange },
            })
            session.call(opcode, node, request, error);
        EXPECT_EQ(backend.lookupTally(), (fused::LookupTally { 5, 6 }));
        EXPECT_EQ(session.answer<vl::fuse_attr_out>(vl::FUSE_GETATTR, 1, bytesOf(vl::fuse_getattr_in {}))
                      .attr.nlink,
            3u);
        EXPECT_EQ(session.answer<vl::fuse_entry_out>(vl::FUSE_LOOKUP, d, body("x")).attr.nlink, 1u);
    }
    Session refusing({ .extendedAttributes = false });
    refusing.call(vl::FUSE_LISTXATTR, 1, bytesOf(vl::fuse_getxattr_in {}), posix::enosys);
    refusing.call(vl::FUSE_REMOVEXATTR, 1, body("user.e"), posix::enosys);
}

TEST(FuseServer, AccessAnswersByThePermissionBitsForTheCallerAndVolumeRenameIsKept)
{
    Session session;
    std::uint64_t file = session.fileSystem.makeFile(1, "f", 0640, "");
    session.fileSystem.setAttributes(file, { .uid = 501, .gid = 20 });
    using Check = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::int32_t>;
    for (auto [uid, gid, mask, error] : std::initializer_list<Check> { { 0, 0, 6, 0 },
             { 0, 0, 1, posix::eacces }, { 501, 1, 6, 0 }, { 501, 1, 1, posix::eacces }, { 502, 20, 4, 0 },
             { 502, 20, 2, posix::eacces }, { 502, 21, 4, posix::eacces }, { 502, 21, 0, 0 },
             { 502, 20, 0x8000 | 0x200, 0 }, { 502, 20, 0x400, posix::eacces },
             { 501, 1, 0x800, posix::eacces }, { 501, 1, 0x100, posix::einval } }) {
        vl::fuse_in_header header { sizeof(vl::fuse_in_header) + sizeof(vl::fuse_access_in), vl::FUSE_ACCESS,
            3, file, uid, gid, 0, 0 };
        foundation::writeCompletely(session.volumeEnd, bytesOf(header, vl::fuse_access_in { mask, 0 }));
        EXPECT_EQ(session.receive().header.error, -error) << uid << " " << mask;
    }
    session.call(vl::FUSE_SETVOLNAME, 0, body("Volume"));
    EXPECT_EQ(session.server->volumeName(), "Volume");
}

} // namespace
