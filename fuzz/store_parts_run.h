// The parts of the persistent store, each on its own and without a module start per input: the
// check of an image at start-up, the live EPG kept in the EPG and icon areas, and the service
// map kept in the CA area. Shared by the fuzz targets and the unit tests.
#pragma once

#include <krmodule/krmodule.h>

#include <cstddef>
#include <cstdint>

namespace krfuzz {

// The image is cut or zero-padded to the store size. Start-up succeeds, every area left
// readable agrees with its CRC or is empty, a rejected store is cleared, a live EPG loaded from it
// at EPG start stays inside its tables, and an update survives a restart: the whole start-up
// cycle, a module start per input. true when every property held.
bool RunStoreImage(const uint8_t* data, std::size_t size);

// The input is the start of an image (zero-padded to the store size). Start-up either loads it,
// with every area agreeing with its CRC or emptied, or rejects it and leaves the host's buffer
// cleared. true when that held.
bool RunStoreCheckInput(const uint8_t* data, std::size_t size);

// A loaded store (host slots and working copy) and the EPG database, which the two runs below
// write their input into. false when the store or the database does not start.
bool StartStoredParts();
void FinishStoredParts();

// The input is a length (2 bytes, big-endian), that many bytes of the EPG area from its start
// (frequency, head, programs, streams, links), and the rest from the start of the icon area.
// Whatever they hold, a live EPG loaded from them stays inside its tables. true when that held.
bool RunStoredEpgInput(const uint8_t* data, std::size_t size);

// The input is the CA area from the service map's head. Whatever it holds, the loaded map finds
// each record in use by its ids, lists them within the map's size, and takes a service map
// section on top. true when that held; *inUse (when given) = records loaded in use.
bool RunStoredMapInput(const uint8_t* data, std::size_t size, std::size_t* inUse = nullptr);

// Whether a live EPG's records (when given) and the service links stay inside their tables:
// counts within bounds, every pointer at a record of its own, every text ended.
bool LiveEpgSound(const LiveEpg* epg);

}  // namespace krfuzz
