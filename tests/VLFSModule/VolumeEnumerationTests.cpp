// Directory enumeration against a scripted daemon: cookies, padding, skipped and fetched entries.
#include "VolumeOperationTesting.h"

namespace {

using namespace testing_support;

struct Record { std::uint64_t ino, off; std::uint32_t type; std::string_view name; };

// READDIR records, each padded to a multiple of 8 bytes.
std::vector<std::byte> recordsOf(std::initializer_list<Record> records)
{
    std::vector<std::byte> bytes;
    for (const Record& r : records) {
        for (const std::vector<std::byte>& part : {bytesOf(vl::fuse_dirent{r.ino, r.off, std::uint32_t(r.name.size()), r.type}), bytesOf(r.name)})
            bytes.insert(bytes.end(), part.begin(), part.end());
        bytes.resize((bytes.size() + 7) / 8 * 8);
    }
    return bytes;
}

// Takes `room` entries and writes each down as "name:type:id:cookie", with "+a" for attributes.
struct Packer final : fskit::FSDirectoryEntryPacker {
    bool packEntry(const fskit::FSFileName& name, fskit::FSItemType type, fskit::FSItem::Identifier id,
                   fskit::FSDirectoryCookie cookie, const fskit::FSItemAttributes* attributes) override
    {
        packed.push_back(name.description() + ":" + std::to_string(int(type)) + ":" + std::to_string(std::uint64_t(id)) +
                         ":" + std::to_string(cookie) + (attributes ? "+a" : ""));
        return packed.size() <= room;
    }
    std::size_t room = 100;
    std::vector<std::string> packed;
};

class VolumeEnumeration : public VolumeOperationTest {
protected:
    VolumeEnumeration()
    {
        peer.on(vl::FUSE_OPENDIR, [](const FuseRequest&) { return FuseAnswer::replyWith(vl::fuse_open_out{61, 0, 0}); });
        tasks::runBlocking(volume->openItem(directory, fskit::FSVolumeOpenModes::read));
    }
    std::shared_ptr<vl::Item> directory = itemFor(2, 0040755, "d");
    // Lists the directory from `cookie`; READDIRs get `replies` in turn, then empty ones. Returns what was packed.
    std::vector<std::string> list(std::vector<std::vector<std::byte>> replies, std::uint64_t cookie = 0, std::size_t room = 100,
                                  fskit::FSItemAttribute wanted = {})
    {
        peer.on(vl::FUSE_READDIR, [replies, next = std::make_shared<std::size_t>(0)](const FuseRequest&) {
            return FuseAnswer::reply(*next < replies.size() ? replies[(*next)++] : std::vector<std::byte>());
        });
        auto packer = std::make_shared<Packer>();
        packer->room = room;
        auto request = std::make_shared<fskit::FSItemGetAttributesRequest>(wanted);
        EXPECT_EQ(tasks::runBlocking(volume->enumerateDirectory(directory, cookie, request, packer)), fskit::FSDirectoryVerifierInitial);
        packer->packed.resize(std::min(packer->packed.size(), room));
        return packer->packed;
    }
};

TEST_F(VolumeEnumeration, DotsAreLeftOutButMoveTheOffsetAndPaddingIsSkipped)
{
    std::size_t first = mark();
    EXPECT_EQ(list({recordsOf({{1, 1, 4, "."}, {1, 2, 4, ".."}, {7, 3, 8, "a"}}),
                    recordsOf({{8, 11, 8, "fives"}, {9, 12, 4, "eightchr"}, {1, 13, 4, ".."}})}, 5),
              (std::vector<std::string>{"a:1:8:3", "fives:1:9:11", "eightchr:2:10:12"}));
    for (std::uint64_t offset : {5, 3, 13})
        EXPECT_EQ(bodyOf(peer.waitForRequest(first++)), bytesOf(vl::fuse_read_in{61, offset, 10240, 0, 0, 0, 0}));
    EXPECT_EQ(peer.waitForRequest(first - 1).nodeid(), 2u);
    EXPECT_EQ(mark(), first);
    // A full packer ends the call at once; the next call resumes at the last packed entry's cookie.
    EXPECT_EQ(list({recordsOf({{7, 10, 8, "a"}, {8, 20, 8, "b"}, {9, 30, 8, "c"}})}, 0, 2),
              (std::vector<std::string>{"a:1:8:10", "b:1:9:20"}));
    EXPECT_EQ(mark(), first + 1);
}

TEST_F(VolumeEnumeration, EntriesWithoutIdOrTypeOrWithWantedAttributesAreFetchedAndFailedFetchesDropped)
{
    peer.on(vl::FUSE_LOOKUP, [](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(20, 0100600)); });
    peer.on(vl::FUSE_GETATTR, [](const FuseRequest& request) {
        return request.nodeid() == 31 ? FuseAnswer::error(posix::enoent) : FuseAnswer::replyWith(attrOut(request.nodeid(), 0040700));
    });
    std::size_t first = mark();
    EXPECT_EQ(list({recordsOf({{0xFFFFFFFF, 1, 8, "x"}, {30, 2, 0, "y"}, {31, 3, 0, "gone"}, {32, 4, 8, "z"}})}),
              (std::vector<std::string>{"x:1:21:1+a", "y:2:31:2+a", "z:1:33:4"}));
    EXPECT_EQ(opcodesSince(first), (std::vector{vl::FUSE_READDIR, vl::FUSE_LOOKUP, vl::FUSE_FORGET, vl::FUSE_GETATTR,
                                                vl::FUSE_GETATTR, vl::FUSE_READDIR}));
    EXPECT_EQ(bodyOf(peer.waitForRequest(first + 1)), bytesOf(std::string_view("x\0", 2)));
    EXPECT_EQ(peer.waitForRequest(first + 2).nodeid(), 20u);
    EXPECT_EQ(bodyOf(peer.waitForRequest(first + 2)), bytesOf(vl::fuse_forget_in{1}));
    EXPECT_EQ(bodyOf(peer.waitForRequest(first + 3)), bytesOf(vl::fuse_getattr_in{}));
    EXPECT_EQ(list({recordsOf({{32, 4, 8, "z"}})}, 0, 100, fskit::FSItemAttribute::size), std::vector<std::string>{"z:2:33:4+a"});
}

TEST_F(VolumeEnumeration, MalformedRepliesAndRefusalsFail)
{
    std::vector<std::byte> cut = recordsOf({{7, 10, 8, "abcdefghij"}});
    cut.resize(30);
    auto enumerate = [&](std::shared_ptr<fskit::FSItem> directory) {
        return errnoOf(volume->enumerateDirectory(directory, 0, nullptr, std::make_shared<Packer>()));
    };
    for (std::vector<std::byte> reply : {cut, std::vector<std::byte>(24)}) {
        peer.on(vl::FUSE_READDIR, [reply](const FuseRequest&) { return FuseAnswer::reply(reply); });
        EXPECT_EQ(enumerate(directory), -1); // the decoding error
    }
    peer.on(vl::FUSE_READDIR, [](const FuseRequest&) { return FuseAnswer::error(posix::eacces); });
    EXPECT_EQ(enumerate(directory), posix::eacces);
    EXPECT_EQ(enumerate(std::make_shared<ForeignItem>()), posix::enoent);
    EXPECT_EQ(enumerate(itemFor(4, 0040755)), posix::ebadf);
    disconnect();
    EXPECT_EQ(enumerate(directory), posix::enxio);
}

} // namespace
