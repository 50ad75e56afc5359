#include "vorlane-services/LaunchServices.h"

#include "Common/ServiceNames.h"
#include "Common/ServiceProtocol.h"
#include "Platform/OS/FatalError.h"
#include "Platform/XPC/RuntimeDirectory.h"
#include "VLFoundation/XPCEntries.h"
#include "vorlane-services/ServicesLog.h"

#include <filesystem>
#include <vector>

namespace services {

namespace {

namespace keys = protocol;

// Replies to `message` on `peer` when its sender awaits a reply; `fill` writes the reply.
template <typename Fill> void answer(xpc::Connection& peer, const xpc::XPCDictionary& message, Fill fill)
{
    if (std::optional<xpc::XPCDictionary> reply = xpc::XPCDictionary::createReply(message)) {
        fill(*reply);
        peer.sendMessage(*reply);
    }
}

void setFailure(xpc::XPCDictionary& reply, const std::string& reason)
{
    reply.setBoolean(keys::successKey, false);
    reply.setString(keys::errorKey, reason);
}

std::string peerName(const xpc::Connection& peer)
{
    return "process " + std::to_string(peer.peerProcessID());
}

} // namespace

LaunchServices::LaunchServices(Configuration configuration)
    : LaunchServices(std::move(configuration), tasks::AsyncStream<Event>::makeStream())
{
}

LaunchServices::LaunchServices(Configuration settings, tasks::AsyncStream<Event>::Pair stream)
    : configuration(std::move(settings))
    , images(configuration.diskImageTool, configuration.imageDirectory, configuration.imageSize)
    , events(std::move(stream.stream))
    , post(std::move(stream.continuation))
{
}

LaunchServices::~LaunchServices()
{
    // Only when run() never ran: it cancels both on its way out.
    if (broker)
        broker->cancel();
    if (daemonService)
        daemonService->cancel();
}

void LaunchServices::listen()
{
    images.prepareDirectory();
    // Listening takes over a socket file nobody listens on any more (and refuses a live one).
    std::vector<std::string> stale;
    for (const std::string& name : { brokerServiceName(), daemonServiceName() }) {
        std::error_code missing;
        if (std::filesystem::is_socket(std::filesystem::symlink_status(xpc::servicePath(name), missing)))
            stale.push_back(xpc::servicePath(name));
    }
    broker = openService(brokerServiceName(), Role::broker);
    daemonService = openService(daemonServiceName(), Role::daemonService);
    for (const std::string& path : stale)
        servicesLog().info("Replaced the socket %s left by an earlier instance", path);
}

std::shared_ptr<xpc::Connection> LaunchServices::openService(const std::string& name, Role role)
{
    std::shared_ptr<xpc::Connection> listener = xpc::Connection::createMachServiceListener(name);
    listener->setPeerCodeSigningRequirement(peerRequirement());
    listener->setEventHandler([post = post, role, key = listener.get()](const xpc::Object& event) {
        if (std::shared_ptr<xpc::Connection> peer = event.connectionValue())
            post.yield(PeerAccepted { role, std::move(peer) });
        else if (event.errorValue() != nullptr)
            post.yield(ConnectionEnded { key });
    });
    listener->activate();
    ++liveConnections;
    servicesLog().info("Listening as %s", name);
    return listener;
}

void LaunchServices::stop()
{
    post.yield(StopRequested {});
}

tasks::Task<void> LaunchServices::run()
{
    // Named first (g++ 12, see Task.h).
    co_await images.sweep([](const std::string& step) { servicesLog().info("%s", step); });
    auto body = [this](tasks::DiscardingTaskGroup& group) { return serve(group); };
    co_await tasks::withThrowingDiscardingTaskGroup(body);
    servicesLog().info("Stopped");
}

tasks::Task<void> LaunchServices::serve(tasks::DiscardingTaskGroup& group)
{
    children = &group;
    while (!isFinished()) {
        std::optional<Event> event = co_await events.next();
        if (!event)
            break;
        std::visit([this](auto& happened) { handle(happened); }, *event);
        if (stopping && !peersCancelled
            && volumes.withLock([](Volumes& all) { return all.records.empty() && all.releasing == 0; })) {
            // Every host has ended and every daemon has been told what became of its volume:
            // the services and their connections can go.
            if (broker)
                broker->cancel();
            if (daemonService)
                daemonService->cancel();
            for (auto& [key, peer] : peers)
                peer->cancel();
            peersCancelled = true;
        }
    }
    children = nullptr;
}

bool LaunchServices::isFinished() const
{
    return peersCancelled && liveConnections == 0;
}

void LaunchServices::handle(PeerAccepted& accepted)
{
    if (peersCancelled) {
        // Never activated: closes at once, without an event.
        accepted.peer->cancel();
        return;
    }
    if (peers.size() >= configuration.maximumPeers) {
        servicesLog().error("Refused a connection of %s: %s connections are served already",
            peerName(*accepted.peer), peers.size());
        accepted.peer->cancel();
        return;
    }
    const xpc::Connection* key = accepted.peer.get();
    accepted.peer->setEventHandler(
        [post = post, role = accepted.role, weakPeer = std::weak_ptr(accepted.peer), key](
            const xpc::Object& event) {
            if (std::optional<xpc::XPCDictionary> message = xpc::XPCDictionary::fromObject(event)) {
                // The peer stays in `peers` until its end has been handled.
                if (std::shared_ptr<xpc::Connection> peer = weakPeer.lock())
                    post.yield(MessageReceived { role, std::move(peer), *message });
            } else if (event.errorValue() != nullptr) {
                post.yield(ConnectionEnded { key });
            }
        });
    peers.emplace(key, accepted.peer);
    ++liveConnections;
    accepted.peer->activate();
}

void LaunchServices::handle(MessageReceived& received)
{
    std::optional<std::string> operation = received.message.string(keys::operationKey);
    xpc::Connection& peer = *received.peer;
    if (received.role == Role::broker) {
        if (operation == keys::volumeAdvertise)
            advertise(peer, received.message);
        else
            refuse(peer, received.message, "The broker knows no such operation");
        return;
    }
    if (operation == keys::volumeRequest)
        requestVolume(received.peer, received.message);
    else if (operation == keys::deviceDeactivate)
        deactivate(peer, received.message);
    else
        refuse(peer, received.message, "The daemon service knows no such operation");
}

void LaunchServices::handle(ConnectionEnded& ended)
{
    --liveConnections;
    auto found = peers.find(ended.connection);
    if (found == peers.end()) {
        if (!stopping) {
            servicesLog().error("A service listener has ended: stopping");
            StopRequested requested;
            handle(requested);
        }
        return;
    }
    std::shared_ptr<xpc::Connection> peer = std::move(found->second);
    peers.erase(found);
    daemonLeft(peer);
}

void LaunchServices::handle(HostExited& exited)
{
    servicesLog().info("The host of volume %s %s", exited.volume, exited.how);
    requestRelease(exited.volume, Release { "its host " + exited.how });
}

void LaunchServices::handle(VolumeReleased&)
{
    // Only wakes the loop, which then checks whether a stop is complete.
}

void LaunchServices::handle(StopRequested&)
{
    if (stopping)
        return;
    stopping = true;
    // The services keep listening until every volume is released, so that hosts ending
    // meanwhile can still report their devices deactivated.
    servicesLog().info("Stopping: releasing every volume");
    std::vector<foundation::UUID> all = volumes.withLock([](Volumes& current) {
        std::vector<foundation::UUID> identifiers;
        for (const auto& [identifier, record] : current.records)
            identifiers.push_back(identifier);
        return identifiers;
    });
    for (const foundation::UUID& volume : all)
        requestRelease(volume, Release { "the services are stopping" });
}

void LaunchServices::requestVolume(
    const std::shared_ptr<xpc::Connection>& peer, const xpc::XPCDictionary& message)
{
    std::optional<xpc::XPCArray> options = vl::entry<xpc::XPCArray>(message, keys::optionsKey);
    if (!options)
        return refuse(*peer, message, "A volume request needs an \"Options\" array");
    std::optional<std::string> mountPoint = message.string(keys::mountPointKey);
    if (message.value(keys::mountPointKey) && !(mountPoint && mountPoint->starts_with("/")))
        return refuse(*peer, message, "A volume request's \"MountPoint\" must be an absolute path");
    std::optional<bool> volumeChecksAccess = message.boolean(keys::volumeChecksAccessKey);
    if (message.value(keys::volumeChecksAccessKey) && !(volumeChecksAccess && mountPoint))
        return refuse(*peer, message,
            "A volume request's \"VolumeChecksAccess\" must be a boolean beside a \"MountPoint\"");
    std::optional<HostMount> mount;
    if (mountPoint)
        mount = HostMount { *mountPoint, volumeChecksAccess.value_or(false) };
    std::optional<xpc::XPCDictionary> reply = xpc::XPCDictionary::createReply(message);
    if (!reply)
        return refuse(*peer, message, "A volume request must await its reply");
    if (stopping) {
        setFailure(*reply, "The services are stopping");
        peer->sendMessage(*reply);
        return;
    }
    foundation::UUID volume;
    servicesLog().info(
        "Volume %s requested by %s with options %s", volume, peerName(*peer), options->debugDescription());
    volumes.withLock([&](Volumes& current) {
        current.records.emplace(volume,
            VolumeRecord { .identifier = volume, .daemon = peer, .mount = mount, .pendingReply = *reply });
    });
    children->addTask(provision(volume));
}

void LaunchServices::advertise(xpc::Connection& peer, const xpc::XPCDictionary& message)
{
    std::optional<foundation::UUID> volume = vl::entry<foundation::UUID>(message, keys::volumeKey);
    if (!volume)
        return refuse(peer, message, "A volume advertisement needs a \"Volume\" UUID");
    std::optional<xpc::Object> endpoint = message.value(keys::endpointKey);
    if (!endpoint || endpoint->type() != xpc::Type::endpoint)
        return refuse(peer, message, "A volume advertisement needs an \"Endpoint\" endpoint");

    struct Match {
        std::shared_ptr<xpc::Connection> daemon;
        xpc::XPCDictionary grant;
        std::optional<std::string> bsdName;
    };
    std::optional<Match> match = volumes.withLock([&](Volumes& current) -> std::optional<Match> {
        auto found = current.records.find(*volume);
        if (found == current.records.end())
            return std::nullopt;
        VolumeRecord& record = found->second;
        if (!record.pendingReply || !record.daemon || record.requestedRelease)
            return std::nullopt;
        Match matched { record.daemon, *record.pendingReply, std::nullopt };
        if (record.device)
            matched.bsdName = record.device->bsdName;
        record.pendingReply.reset();
        return matched;
    });
    if (!match) {
        servicesLog().error("Volume %s advertised itself, but no daemon waits for it", *volume);
        answer(peer, message, [](xpc::XPCDictionary& reply) { reply.setBoolean(keys::successKey, false); });
        return;
    }
    match->grant.setBoolean(keys::successKey, true);
    vl::setEntry(match->grant, keys::volumeKey, volume);
    match->grant.setValue(keys::endpointKey, endpoint);
    match->grant.setString(keys::bsdNameKey, match->bsdName);
    match->daemon->sendMessage(match->grant);
    servicesLog().info("Handed volume %s to %s", *volume, peerName(*match->daemon));
    answer(peer, message, [](xpc::XPCDictionary& reply) { reply.setBoolean(keys::successKey, true); });
}

void LaunchServices::deactivate(xpc::Connection& peer, const xpc::XPCDictionary& message)
{
    std::optional<std::string> bsdName = message.string(keys::bsdNameKey);
    if (!bsdName)
        return refuse(peer, message, "A device deactivation needs a \"BSDName\" text");
    bool beingReleased = false;
    std::optional<foundation::UUID> volume
        = volumes.withLock([&](Volumes& current) -> std::optional<foundation::UUID> {
              for (const auto& [identifier, record] : current.records)
                  if (record.device && record.device->bsdName == *bsdName)
                      return identifier;
              beingReleased = current.releasingDevices.contains(*bsdName);
              return std::nullopt;
          });
    if (beingReleased) {
        servicesLog().info("Device %s has been deactivated while its volume is being released", *bsdName);
        answer(peer, message, [](xpc::XPCDictionary& reply) { reply.setBoolean(keys::successKey, true); });
        return;
    }
    if (!volume) {
        servicesLog().error("Device %s has been deactivated, but it is no volume's device", *bsdName);
        answer(peer, message,
            [&](xpc::XPCDictionary& reply) { setFailure(reply, "No volume is attached as " + *bsdName); });
        return;
    }
    servicesLog().info("Device %s of volume %s has been deactivated", *bsdName, *volume);
    requestRelease(*volume, Release { "its device has been deactivated", configuration.hostPatience });
    answer(peer, message, [](xpc::XPCDictionary& reply) { reply.setBoolean(keys::successKey, true); });
}

void LaunchServices::refuse(
    xpc::Connection& peer, const xpc::XPCDictionary& message, const std::string& reason)
{
    servicesLog().error(
        "Refused a message of %s: %s: %s", peerName(peer), reason, message.debugDescription());
    answer(peer, message, [&](xpc::XPCDictionary& reply) { setFailure(reply, reason); });
}

void LaunchServices::daemonLeft(const std::shared_ptr<xpc::Connection>& daemon)
{
    std::vector<std::pair<foundation::UUID, bool>> left = volumes.withLock([&](Volumes& current) {
        std::vector<std::pair<foundation::UUID, bool>> identifiers;
        for (auto& [identifier, record] : current.records) {
            if (record.daemon != daemon)
                continue;
            bool waiting = record.pendingReply.has_value();
            if (!waiting)
                record.daemon.reset();
            identifiers.emplace_back(identifier, waiting);
        }
        return identifiers;
    });
    // A daemon that had its volume may have died: its host ends soon on its own when the kernel
    // unmounted, and is stopped otherwise.
    for (const auto& [volume, waiting] : left)
        requestRelease(volume,
            Release { "its daemon has gone",
                waiting ? std::chrono::nanoseconds(0) : configuration.daemonGonePatience });
}

void LaunchServices::requestRelease(const foundation::UUID& volume, Release release)
{
    std::optional<VolumeRecord> taken
        = volumes.withLock([&](Volumes& current) -> std::optional<VolumeRecord> {
              auto found = current.records.find(volume);
              if (found == current.records.end())
                  return std::nullopt;
              if (found->second.provisioning) {
                  if (!found->second.requestedRelease)
                      found->second.requestedRelease = release;
                  return std::nullopt;
              }
              VolumeRecord record = std::move(found->second);
              current.records.erase(found);
              current.beginRelease(record);
              return record;
          });
    if (taken)
        children->addTask(releaseVolume(std::move(*taken), std::move(release)));
}

template <typename Update>
std::optional<LaunchServices::Taken> LaunchServices::keep(const foundation::UUID& volume, Update update)
{
    return volumes.withLock([&](Volumes& current) -> std::optional<Taken> {
        auto found = current.records.find(volume);
        if (found == current.records.end())
            vl::fatalError("A volume being made has left the table", "LaunchServices/LaunchServices");
        update(found->second);
        if (!found->second.requestedRelease)
            return std::nullopt;
        Release release = *found->second.requestedRelease;
        VolumeRecord record = std::move(found->second);
        current.records.erase(found);
        current.beginRelease(record);
        return Taken { std::move(record), std::move(release) };
    });
}

LaunchServices::VolumeRecord LaunchServices::take(const foundation::UUID& volume)
{
    return volumes.withLock([&](Volumes& current) {
        auto found = current.records.find(volume);
        if (found == current.records.end())
            vl::fatalError("A volume being made has left the table", "LaunchServices/LaunchServices");
        VolumeRecord record = std::move(found->second);
        current.records.erase(found);
        current.beginRelease(record);
        return record;
    });
}

tasks::Task<void> LaunchServices::provision(foundation::UUID volume)
{
    std::optional<Taken> abandoned;
    std::optional<std::string> failure;
    try {
        abandoned = co_await makeVolume(volume);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    // Operands are named first (g++ 12, see Task.h).
    if (failure) {
        servicesLog().error("Cannot make volume %s: %s", volume, *failure);
        VolumeRecord record = take(volume);
        Release release { "it could not be made: " + *failure };
        co_await releaseVolume(std::move(record), std::move(release));
    } else if (abandoned) {
        co_await releaseVolume(std::move(abandoned->first), std::move(abandoned->second));
    }
}

tasks::Task<std::optional<LaunchServices::Taken>> LaunchServices::makeVolume(foundation::UUID volume)
{
    std::string imagePath = co_await images.create(volume);
    servicesLog().info("Made image %s for volume %s", imagePath, volume);
    if (std::optional<Taken> abandoned
        = keep(volume, [&](VolumeRecord& record) { record.imagePath = imagePath; }))
        co_return abandoned;

    AttachedDevice device = co_await images.attach(imagePath);
    servicesLog().info("Attached image %s as %s", imagePath, device.devicePath);
    std::optional<HostMount> mount;
    auto attached = [&](VolumeRecord& record) {
        record.device = device;
        mount = record.mount;
    };
    if (std::optional<Taken> abandoned = keep(volume, attached))
        co_return abandoned;

    HostLauncher::ExitHandler onExit = [post = post, volume](const std::string& how) {
        post.yield(HostExited { volume, how });
    };
    std::shared_ptr<Host> host = configuration.hostLauncher->launch(device.devicePath, mount, onExit);
    servicesLog().info("Started host %s on %s for volume %s", host->description(), device.devicePath, volume);
    auto launched = [&](VolumeRecord& record) {
        record.host = host;
        record.provisioning = false;
    };
    co_return keep(volume, launched);
}

void LaunchServices::tellDaemon(VolumeRecord& record, const Release& release)
{
    if (!record.daemon)
        return;
    try {
        sendToDaemon(record, release);
    } catch (const std::exception& error) {
        servicesLog().error("Cannot tell the daemon of volume %s: %s", record.identifier, error);
    }
}

void LaunchServices::sendToDaemon(VolumeRecord& record, const Release& release)
{
    if (record.pendingReply) {
        setFailure(
            *record.pendingReply, "Volume " + record.identifier.uuidString() + " is gone: " + release.reason);
        record.daemon->sendMessage(*record.pendingReply);
        return;
    }
    xpc::XPCDictionary gone;
    gone.setString(keys::operationKey, std::string(keys::deviceGone));
    vl::setEntry(gone, keys::volumeKey, std::optional(record.identifier));
    if (record.device)
        gone.setString(keys::bsdNameKey, record.device->bsdName);
    record.daemon->sendMessage(gone);
}

tasks::Task<void> LaunchServices::releaseVolume(VolumeRecord record, Release release)
{
    servicesLog().info("Releasing volume %s: %s", record.identifier, release.reason);
    // A daemon still waiting hears at once; one that has the volume is told once the host has
    // ended, so that the host can still end the FUSE session with it.
    bool waiting = record.pendingReply.has_value();
    if (waiting)
        tellDaemon(record, release);
    if (record.host) {
        try {
            co_await record.host->stop(release.hostPatience);
        } catch (const std::exception& error) {
            servicesLog().error("Cannot stop host %s: %s", record.host->description(), error);
        }
    }
    if (!waiting)
        tellDaemon(record, release);
    if (record.device) {
        try {
            co_await images.detach(record.device->bsdName);
            servicesLog().info("Detached %s", record.device->devicePath);
        } catch (const std::exception& error) {
            servicesLog().error("Cannot detach %s: %s", record.device->devicePath, error);
        }
    }
    if (record.imagePath) {
        try {
            images.remove(*record.imagePath);
            servicesLog().info("Removed image %s", *record.imagePath);
        } catch (const std::exception& error) {
            servicesLog().error("Cannot remove image %s: %s", *record.imagePath, error);
        }
    }
    servicesLog().info("Released volume %s", record.identifier);
    volumes.withLock([&](Volumes& current) { current.endRelease(record); });
    post.yield(VolumeReleased {});
}

} // namespace services
