#include "vorlane-fused/VolumeConnection.h"

#include "Common/ServiceProtocol.h"
#include "Platform/XPC/Connection.h"
#include "VLFoundation/XPCEntries.h"
#include "vorlane-fused/DaemonError.h"
#include "vorlane-fused/ReplyExchange.h"
#include "vorlane-fused/ServicesLink.h"

namespace fused {

namespace {

namespace keys = services::protocol;

struct CancelWhenDone {
    std::shared_ptr<xpc::Connection> connection;
    ~CancelWhenDone() { connection->cancel(); }
};

} // namespace

tasks::Task<std::shared_ptr<foundation::FileHandle>> connectToVolume(
    xpc::Object endpoint, std::vector<std::string> options, std::chrono::nanoseconds timeLimit)
{
    CancelWhenDone volume { xpc::Connection::createFromEndpoint(endpoint) };
    volume.connection->activate();
    xpc::XPCDictionary request;
    request.setString(keys::channelTypeKey, std::string(keys::socketChannelType));
    vl::setEntry(request, keys::optionsKey, std::optional(makeOptionsArray(options)));
    // Named first (g++ 12, see Task.h).
    std::string late = "The volume did not answer within the time limit";
    xpc::XPCDictionary reply = co_await exchange(*volume.connection, request, timeLimit, late);
    std::shared_ptr<foundation::FileHandle> socket
        = vl::entry<foundation::FileHandle>(reply, keys::fileHandleKey);
    if (!socket)
        throw DaemonError("The volume answered without a socket: " + reply.debugDescription());
    co_return socket;
}

} // namespace fused
