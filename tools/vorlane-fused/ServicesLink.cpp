#include "vorlane-fused/ServicesLink.h"

#include "Common/ServiceNames.h"
#include "Common/ServiceProtocol.h"
#include "VLFoundation/XPCEntries.h"
#include "vorlane-fused/DaemonError.h"
#include "vorlane-fused/DaemonLog.h"
#include "vorlane-fused/ReplyExchange.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace fused {

namespace keys = services::protocol;

xpc::XPCArray makeOptionsArray(const std::vector<std::string>& options)
{
    xpc::XPCArray array;
    for (const std::string& option : options)
        array.append(xpc::Object::string(option));
    return array;
}

struct ServicesLink::Ending {
    std::mutex mutex;
    std::condition_variable changed;
    bool told = false;
    bool ended = false;
};

ServicesLink::ServicesLink(std::function<void()> onDeviceGone)
    : connection(xpc::Connection::createMachService(services::daemonServiceName()))
    , ending(std::make_shared<Ending>())
{
    connection->setPeerCodeSigningRequirement(services::peerRequirement());
    connection->setEventHandler([ending = ending, onDeviceGone = std::move(onDeviceGone)](
                                    const xpc::Object& event) {
        const xpc::XPCRichError* error = event.errorValue();
        if (std::optional<xpc::XPCDictionary> message = xpc::XPCDictionary::fromObject(event)) {
            if (message->string(keys::operationKey) != keys::deviceGone) {
                daemonLog().error("Ignored a message of the daemon service: %s", message->debugDescription());
                return;
            }
            daemonLog().info("The device of volume %s is gone",
                vl::entry<foundation::UUID>(*message, keys::volumeKey).value_or(foundation::UUID()));
        } else if (error != nullptr) {
            daemonLog().info("The connection to the daemon service has ended: %s", error->description());
        }
        bool tell;
        {
            std::lock_guard lock(ending->mutex);
            tell = !std::exchange(ending->told, true);
        }
        if (tell)
            onDeviceGone();
        if (error != nullptr) {
            std::lock_guard lock(ending->mutex);
            ending->ended = true;
            ending->changed.notify_all();
        }
    });
    connection->activate();
}

ServicesLink::~ServicesLink()
{
    connection->cancel();
    std::unique_lock lock(ending->mutex);
    ending->changed.wait(lock, [this] { return ending->ended; });
}

void ServicesLink::close()
{
    connection->cancel();
}

tasks::Task<VolumeGrant> ServicesLink::requestVolume(std::vector<std::string> options,
    std::optional<std::string> mountPoint, std::chrono::nanoseconds timeLimit, bool volumeChecksAccess)
{
    xpc::XPCDictionary request;
    request.setString(keys::operationKey, std::string(keys::volumeRequest));
    vl::setEntry(request, keys::optionsKey, std::optional(makeOptionsArray(options)));
    if (mountPoint)
        request.setString(keys::mountPointKey, *mountPoint);
    if (mountPoint && volumeChecksAccess)
        request.setBoolean(keys::volumeChecksAccessKey, true);
    // Named first (g++ 12, see Task.h).
    std::string late = "No volume came within the time limit";
    std::optional<xpc::XPCDictionary> reply = co_await exchange(*connection, request, timeLimit, late);
    if (reply->boolean(keys::successKey) != true)
        throw DaemonError("The services refused a volume: "
            + reply->string(keys::errorKey).value_or("they did not say why"));
    std::optional<foundation::UUID> volume = vl::entry<foundation::UUID>(*reply, keys::volumeKey);
    std::optional<xpc::Object> endpoint = reply->value(keys::endpointKey);
    std::optional<std::string> bsdName = reply->string(keys::bsdNameKey);
    if (!volume || !endpoint || endpoint->type() != xpc::Type::endpoint || !bsdName)
        throw DaemonError("The services granted a volume without its UUID, endpoint or device: "
            + reply->debugDescription());
    co_return VolumeGrant { *volume, *endpoint, *bsdName };
}

} // namespace fused
