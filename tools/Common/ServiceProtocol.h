// The XPC vocabulary spoken between FUSE daemons, volumes and the launch services. Every message
// is a dictionary whose "Operation" names what it asks for; every reply carries "Success".
//
// Daemon service (daemonServiceName()):
//   "volume-request"     daemon -> services, awaits a reply.
//       "Options": array of the daemon's mount options (text).
//       "MountPoint": text, optional. The directory on which the FSKit host mounts the volume;
//       without it the host only loads the volume and reports it.
//       "VolumeChecksAccess": boolean, optional, only with "MountPoint". When true the host mounts
//       without the kernel's own permission checks, so that access(2) reaches the volume.
//     The services make a disk image whose first 16 bytes are a fresh volume UUID, attach it as
//     a block device and start the FSKit host on it. The reply waits until that volume
//     advertises itself: {"Success": true, "Volume": UUID, "Endpoint": endpoint, "BSDName":
//     text}; or {"Success": false, "Error": text} when the volume cannot be made or goes away
//     first. The daemon keeps its connection open: "device-gone" arrives on it.
//   "device-deactivate"  volume -> services, a reply is optional.
//       "BSDName": the block device's BSD name.
//     The services tell the volume's daemon "device-gone", let the host end (and end it if it
//     does not), detach the device and remove the image. A reply, when asked for, is
//     {"Success": whether a volume was attached as that device}.
//   "device-gone"        services -> daemon, no reply.
//       "Volume": UUID; "BSDName": text. The device of the daemon's volume is gone.
//
// Broker (brokerServiceName()):
//   "volume-advertise"   volume -> services, awaits a reply.
//       "Volume": UUID; "Endpoint": the volume's listener endpoint.
//     {"Success": true} when a daemon asked for that volume and has been handed the endpoint;
//     {"Success": false} for a volume nobody is waiting for (or one already handed out).
//
// Volume's listener (the endpoint):
//   daemon -> volume: {"ChannelType": "Socket", "Options": array}; reply {"FileHandle": socket}.
//
// A message without the keys its operation needs, with values of the wrong type, or with an
// unknown operation is refused: {"Success": false, "Error": text} when it awaits a reply, else
// only logged.
#pragma once

#include <string_view>

namespace services::protocol {

inline constexpr std::string_view operationKey = "Operation";
inline constexpr std::string_view successKey = "Success";
inline constexpr std::string_view errorKey = "Error";
inline constexpr std::string_view volumeKey = "Volume";
inline constexpr std::string_view endpointKey = "Endpoint";
inline constexpr std::string_view optionsKey = "Options";
inline constexpr std::string_view mountPointKey = "MountPoint";
inline constexpr std::string_view volumeChecksAccessKey = "VolumeChecksAccess";
inline constexpr std::string_view bsdNameKey = "BSDName";
inline constexpr std::string_view channelTypeKey = "ChannelType";
inline constexpr std::string_view fileHandleKey = "FileHandle";

inline constexpr std::string_view volumeRequest = "volume-request";
inline constexpr std::string_view deviceDeactivate = "device-deactivate";
inline constexpr std::string_view deviceGone = "device-gone";
inline constexpr std::string_view volumeAdvertise = "volume-advertise";
inline constexpr std::string_view socketChannelType = "Socket";

} // namespace services::protocol
