// Compile-time checks of the EPG records the host reads in place. Records without pointers have
// one layout everywhere; records with pointers are exact on a 32-bit terminal and take the
// natural layout elsewhere.
#include <krmodule/krmodule.h>

#include <cstddef>
#include <cstdint>

#include "core/layout_check.h"

KR_CHECK_SIZE(MediaSdpView, 256);
KR_CHECK_OFFSET(MediaSdpView, videoPort, 0);
KR_CHECK_OFFSET(MediaSdpView, audioPort, 2);
KR_CHECK_OFFSET(MediaSdpView, videoClock, 4);
KR_CHECK_OFFSET(MediaSdpView, audioClock, 8);
KR_CHECK_OFFSET(MediaSdpView, videoCodec, 12);
KR_CHECK_OFFSET(MediaSdpView, audioCodec, 32);
KR_CHECK_OFFSET(MediaSdpView, videoConfig, 52);
KR_CHECK_OFFSET(MediaSdpView, videoConfigLength, 252);
KR_CHECK_OFFSET(MediaSdpView, audioConfig, 254);

KR_CHECK_SIZE(MediaPidView, 256);
KR_CHECK_OFFSET(MediaPidView, pidCount, 0);
KR_CHECK_OFFSET(MediaPidView, pids, 2);
KR_CHECK_OFFSET(MediaPidView, pidTypes, 12);

KR_CHECK_SIZE(MediaInfo, 256);

KR_CHECK_SIZE(StreamInfo, 280);
KR_CHECK_OFFSET(StreamInfo, programId, 0);
KR_CHECK_OFFSET(StreamInfo, ca, 4);
KR_CHECK_OFFSET(StreamInfo, pid, 6);
KR_CHECK_OFFSET(StreamInfo, frequency, 8);
KR_CHECK_OFFSET(StreamInfo, sort, 12);
KR_CHECK_OFFSET(StreamInfo, spid, 14);
KR_CHECK_OFFSET(StreamInfo, address, 16);
KR_CHECK_OFFSET(StreamInfo, port, 20);
KR_CHECK_OFFSET(StreamInfo, media, 24);

KR_CHECK_SIZE(IconImage, 8200);
KR_CHECK_OFFSET(IconImage, length, 6);
KR_CHECK_OFFSET(IconImage, data, 8);
KR_CHECK_SIZE(IconInfo, 8204);
KR_CHECK_OFFSET(IconInfo, iconId, 0);
KR_CHECK_OFFSET(IconInfo, image, 4);
KR_CHECK_OFFSET(IconInfo, image.length, 10);
KR_CHECK_OFFSET(IconInfo, image.data, 12);

KR_CHECK_SIZE(ServiceLink, 140);
KR_CHECK_OFFSET(ServiceLink, frequency, 0);
KR_CHECK_OFFSET(ServiceLink, onid, 4);
KR_CHECK_OFFSET(ServiceLink, tsid, 6);
KR_CHECK_OFFSET(ServiceLink, svid, 8);
KR_CHECK_OFFSET(ServiceLink, internetLink, 10);
KR_CHECK_OFFSET(ServiceLink, epgInfoFile, 74);
KR_CHECK_OFFSET(ServiceLink, reserved, 138);

KR_CHECK_SIZE(ResourceInfo, 24);
KR_CHECK_OFFSET(ResourceInfo, programId, 0);
KR_CHECK_OFFSET(ResourceInfo, ca, 4);
KR_CHECK_OFFSET(ResourceInfo, frequency, 8);
KR_CHECK_OFFSET(ResourceInfo, pid, 12);
KR_CHECK_OFFSET(ResourceInfo, bandwidth, 14);
KR_CHECK_OFFSET(ResourceInfo, address, 16);
KR_CHECK_OFFSET(ResourceInfo, port, 20);

// Pointer-free prefixes, the same on every build.
KR_CHECK_OFFSET(ProgramInfo, programId, 0);
KR_CHECK_OFFSET(ProgramInfo, name, 4);
KR_CHECK_OFFSET(ProgramInfo, ca, 36);
KR_CHECK_OFFSET(ProgramInfo, abstract, 37);
KR_CHECK_OFFSET(EventInfo, programId, 0);
KR_CHECK_OFFSET(EventInfo, day, 4);
KR_CHECK_OFFSET(EventEpg, state, 0);
KR_CHECK_OFFSET(EventEpg, eventCount, 4);
KR_CHECK_OFFSET(EventEpg, version, 8);
KR_CHECK_OFFSET(CategoryNode, name, 0);
KR_CHECK_OFFSET(CategoryNode, isResource, 256);
KR_CHECK_OFFSET(CategoryNode, id, 264);
KR_CHECK_OFFSET(CategoryNode, size, 268);
KR_CHECK_OFFSET(CategoryNode, categoryType, 288);
KR_CHECK_OFFSET(CategoryNode, force, 292);
KR_CHECK_OFFSET(CategoryNode, free, 293);
KR_CHECK_OFFSET(CategoryNode, caGiven, 294);
KR_CHECK_OFFSET(CategoryNode, drm, 295);
KR_CHECK_OFFSET(CategoryNode, path, 308);
KR_CHECK_OFFSET(LiveEpg, programCount, 0);
KR_CHECK_OFFSET(LiveEpg, version, 4);
KR_CHECK_OFFSET(DownloadEpg, resourceCount, 0);
KR_CHECK_OFFSET(DownloadEpg, version, 4);

#if KR_ILP32
// A 32-bit terminal reads these records at exactly these offsets.
KR_CHECK_SIZE(ProgramInfo, 444);
KR_CHECK_OFFSET(ProgramInfo, media, 296);
KR_CHECK_OFFSET(ProgramInfo, icon, 300);
KR_CHECK_OFFSET(ProgramInfo, events, 304);
KR_CHECK_OFFSET(ProgramInfo, sort, 308);
KR_CHECK_OFFSET(ProgramInfo, frequency, 312);
KR_CHECK_OFFSET(ProgramInfo, internetLink, 316);
KR_CHECK_OFFSET(ProgramInfo, epgInfoFile, 380);

KR_CHECK_SIZE(EventInfo, 36320);
KR_CHECK_OFFSET(EventInfo, contentPtr, 452);
KR_CHECK_OFFSET(EventInfo, content, 480);
KR_CHECK_SIZE(EventEpg, 12 + 32 * 36320);
KR_CHECK_OFFSET(EventEpg, events, 12);

KR_CHECK_SIZE(LiveEpg, 72412);
KR_CHECK_OFFSET(LiveEpg, programs, 8);
KR_CHECK_OFFSET(LiveEpg, program, 12);
KR_CHECK_OFFSET(LiveEpg, stream, 14220);
KR_CHECK_OFFSET(LiveEpg, eventEpg, 23180);
KR_CHECK_OFFSET(LiveEpg, iconCount, 23184);
KR_CHECK_OFFSET(LiveEpg, icons, 23188);

KR_CHECK_SIZE(CategoryNode, 572);
KR_CHECK_OFFSET(CategoryNode, firstChild, 564);
KR_CHECK_OFFSET(CategoryNode, nextSibling, 568);

KR_CHECK_SIZE(DownloadEpg, 1616 + 64 * 572);
KR_CHECK_OFFSET(DownloadEpg, root, 8);
KR_CHECK_OFFSET(DownloadEpg, resource, 12);
KR_CHECK_OFFSET(DownloadEpg, reserved, 1548);
KR_CHECK_OFFSET(DownloadEpg, nodeInUse, 1552);
KR_CHECK_OFFSET(DownloadEpg, node, 1616);
#endif
