// The containing application's launch services as one program: the broker, to which volumes
// advertise themselves, and the daemon service, which makes volumes for FUSE daemons and hears
// when their devices are gone (the vocabulary is in Services/ServiceProtocol.h).
//
// For each "volume-request" it makes a disk image with a fresh volume UUID, attaches it and
// starts a host on the device; the request is answered when that volume advertises itself. A
// volume is released (its waiting daemon refused or its daemon told "device-gone", its host
// ended, its device detached, its image removed) on "device-deactivate", when its host ends, when
// its daemon leaves (a host that does not end on its own soon after is stopped), when making it
// fails, and on stop. A
// volume's host is ended before its daemon hears "device-gone", so that the host can still end
// the FUSE session and report its device deactivated.
//
// listen() opens both services; run() serves them until stop(), then releases every volume
// (refusing new requests meanwhile), closes both services, ends every connection and returns. All bookkeeping
// happens on run()'s task, which handles one event at a time, and on its child tasks; XPC and process threads
// only post events to it. Call listen() and run() once each, in that order, from one thread; stop() from any
// thread, any number of times, before or during run(). The object must outlive run()'s task.
#pragma once

#include "Platform/Foundation/UUID.h"
#include "Platform/Tasks/AsyncStream.h"
#include "Platform/Tasks/Task.h"
#include "Platform/Tasks/TaskGroup.h"
#include "Platform/XPC/Connection.h"
#include "Platform/XPC/XPCDictionary.h"
#include "VLFoundation/Protected.h"
#include "vorlane-services/HostLauncher.h"
#include "vorlane-services/VolumeImages.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>

namespace services {

class LaunchServices {
public:
    struct Configuration {
        foundation::URL diskImageTool;
        std::string imageDirectory;
        std::int64_t imageSize = 1 << 20;
        std::shared_ptr<HostLauncher> hostLauncher;
        // How long a host may take to end on its own once its device has been deactivated.
        std::chrono::nanoseconds hostPatience = std::chrono::seconds(10);
        // How long a host may take to end on its own once its daemon has gone. A host ends first
        // when the kernel unmounts; when the daemon died, the host only learns it from us.
        std::chrono::nanoseconds daemonGonePatience = std::chrono::seconds(1);
        // Connections served at once; more are refused, so that idle ones cannot use up the
        // descriptors that daemons and hosts need.
        std::size_t maximumPeers = 128;
    };

    explicit LaunchServices(Configuration configuration);
    ~LaunchServices();
    LaunchServices(const LaunchServices&) = delete;
    LaunchServices& operator=(const LaunchServices&) = delete;

    // Makes the image directory, removes service sockets an earlier instance left (logging
    // each) and listens as the broker and the daemon service; throws
    // xpc::XPCRichError when a service is served already, std::filesystem::filesystem_error when
    // the directory cannot be made.
    void listen();
    // Sweeps what an earlier instance left in the image directory (see VolumeImages::sweep),
    // then serves until stop(); returns once every volume has been released and every
    // connection has ended.
    tasks::Task<void> run();
    void stop();

private:
    enum class Role { broker, daemonService };

    struct PeerAccepted {
        Role role;
        std::shared_ptr<xpc::Connection> peer;
    };
    struct MessageReceived {
        Role role;
        std::shared_ptr<xpc::Connection> peer;
        xpc::XPCDictionary message;
    };
    // The last event of a listener or peer: its socket is closed.
    struct ConnectionEnded {
        const xpc::Connection* connection;
    };
    struct HostExited {
        foundation::UUID volume;
        std::string how;
    };
    struct VolumeReleased { };
    struct StopRequested { };
    using Event = std::variant<PeerAccepted, MessageReceived, ConnectionEnded, HostExited, VolumeReleased,
        StopRequested>;

    struct Release {
        std::string reason;
        // How long the host may take to end on its own.
        std::chrono::nanoseconds hostPatience { 0 };
    };

    // One volume, from its request until it is released. While `provisioning`, the record
    // belongs to the task that makes the volume: others only ask it for a release.
    struct VolumeRecord {
        foundation::UUID identifier;
        std::shared_ptr<xpc::Connection> daemon; // absent once the daemon has gone
        std::optional<HostMount> mount; // where and how the host mounts the volume
        std::optional<xpc::XPCDictionary> pendingReply; // until the volume has advertised itself
        std::optional<std::string> imagePath;
        std::optional<AttachedDevice> device;
        std::shared_ptr<Host> host;
        bool provisioning = true;
        std::optional<Release> requestedRelease;
    };

    struct Volumes {
        std::map<foundation::UUID, VolumeRecord> records;
        // Records taken out of the table whose release has not finished, and their devices.
        std::size_t releasing = 0;
        std::set<std::string> releasingDevices;

        void beginRelease(const VolumeRecord& record)
        {
            ++releasing;
            if (record.device)
                releasingDevices.insert(record.device->bsdName);
        }
        void endRelease(const VolumeRecord& record)
        {
            --releasing;
            if (record.device)
                releasingDevices.erase(record.device->bsdName);
        }
    };
    using Taken = std::pair<VolumeRecord, Release>;

    LaunchServices(Configuration configuration, tasks::AsyncStream<Event>::Pair stream);

    std::shared_ptr<xpc::Connection> openService(const std::string& name, Role role);
    tasks::Task<void> serve(tasks::DiscardingTaskGroup& group);
    bool isFinished() const;

    void handle(PeerAccepted& accepted);
    void handle(MessageReceived& received);
    void handle(ConnectionEnded& ended);
    void handle(HostExited& exited);
    void handle(VolumeReleased& released);
    void handle(StopRequested& requested);

    void requestVolume(const std::shared_ptr<xpc::Connection>& peer, const xpc::XPCDictionary& message);
    void advertise(xpc::Connection& peer, const xpc::XPCDictionary& message);
    void deactivate(xpc::Connection& peer, const xpc::XPCDictionary& message);
    void refuse(xpc::Connection& peer, const xpc::XPCDictionary& message, const std::string& reason);
    void daemonLeft(const std::shared_ptr<xpc::Connection>& daemon);

    void requestRelease(const foundation::UUID& volume, Release release);
    // Makes the volume and releases it when making fails or a release was asked for meanwhile;
    // never fails.
    tasks::Task<void> provision(foundation::UUID volume);
    // Makes the image, attaches it and starts the host, keeping each in the record as it is made.
    tasks::Task<std::optional<Taken>> makeVolume(foundation::UUID volume);
    // Applies what provisioning has made to the record; answers the record when a release was
    // asked for meanwhile (it has left the table then).
    template <typename Update> std::optional<Taken> keep(const foundation::UUID& volume, Update update);
    VolumeRecord take(const foundation::UUID& volume);
    // Tells the daemon, ends the host, detaches the device and removes the image; never fails.
    tasks::Task<void> releaseVolume(VolumeRecord record, Release release);
    // Answers a waiting daemon with the failure, or tells one that has the volume "device-gone";
    // never fails.
    void tellDaemon(VolumeRecord& record, const Release& release);
    void sendToDaemon(VolumeRecord& record, const Release& release);

    const Configuration configuration;
    const VolumeImages images;
    tasks::AsyncStream<Event> events;
    const tasks::AsyncStream<Event>::Continuation post;
    vl::Protected<Volumes> volumes { Volumes {} };

    // Touched by listen() before run() starts, then only by run()'s task.
    std::shared_ptr<xpc::Connection> broker;
    std::shared_ptr<xpc::Connection> daemonService;
    std::size_t liveConnections = 0;
    std::map<const xpc::Connection*, std::shared_ptr<xpc::Connection>> peers;
    tasks::DiscardingTaskGroup* children = nullptr;
    bool stopping = false;
    bool peersCancelled = false;
};

} // namespace services
