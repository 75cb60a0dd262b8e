// The manifest that `qordat unpack` writes beside the slots' files and
// `qordat repack` rebuilds an archive from: one line per slot, in slot
// order, with what a rebuild needs. It is text a person reads and edits
// (a slot added, one marked empty, a kind changed).
//
//   qordat-manifest 1
//   archive SCENE.DAT           the archive unpacked (its file name)
//   layout kind-size            every slot's head: raw, kind-size or kind-only
//   listing default             how the plug-in lists it: default, full-scan,
//                               or none (refused, or --layout given)
//   prefix 37 xxh64:... 0       bytes before the archive: size, digest, where
//                               in qordat.stored ("prefix 0 - -": none)
//   suffix 12 xxh64:... 4077    bytes after its last slot, the same way
//   # slot head kind declared storage size content stored stored-digest kept file
//   0 kind-size 1 1234 compressed 1234 xxh64:... 620 xxh64:... 37 SCENE~000.BMP
//   1 empty - - - - - - - - SCENE~001.DMY
//
// A slot line has eleven fields separated by spaces or tabs:
//   slot      its number: 0, 1, 2, ... in order
//   head      the layout's name, or "empty" for an empty slot (the other
//             fields of an empty slot are not read)
//   kind      the head's kind field (16-bit; "-" under raw)
//   declared  the head's declared size (kind-size; "-" otherwise, or for a
//             new slot: its content's size)
//   storage   plain or compressed; must agree with the kind under the layout
//   size, content   the content's size and digest when unpacked ("-" for a
//             slot added by hand: it is new)
//   stored, stored-digest   the slot's stored bytes (head included): size
//             and digest
//   kept      where in qordat.stored its stored bytes are kept ("-": not
//             kept, they are the head and the content again)
//   file      its file in the folder ("-": none, the slot is copied as
//             kept); bytes below 0x21, '%' and 0x7F are written %XX
// Lines that begin with '#' and blank lines are comments.
#ifndef MORQUENT_TOOLS_QORDAT_MANIFEST_H
#define MORQUENT_TOOLS_QORDAT_MANIFEST_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/state.h"

namespace qordat {

// The names in an unpacked folder.
constexpr const char kManifestName[] = "qordat.manifest";
constexpr const char kStoredName[] = "qordat.stored";

enum class Listing { Default, FullScan, None };

// Bytes before or after the archive, kept in qordat.stored.
struct Kept {
    uint64_t size = 0;
    uint64_t digest = 0;  // of the bytes (size 0: unused)
    uint64_t at = 0;      // where in qordat.stored
};

struct ManifestSlot {
    size_t line = 0;  // in the manifest, for messages
    bool empty = false;
    int16_t kind = 0;                     // not under raw
    std::optional<int32_t> declared;      // kind-size: the head's field; none: the content's size
    bool compressed = false;
    std::string file;                     // "" for none ("-")
    std::optional<uint64_t> contentSize;  // as unpacked; none for a new slot
    uint64_t contentDigest = 0;
    std::optional<uint64_t> storedSize;   // as unpacked
    uint64_t storedDigest = 0;
    std::optional<uint64_t> keptAt;       // in qordat.stored
};

struct Manifest {
    std::string archive;
    EntryLayout layout = LAYOUT_RAW;
    Listing listing = Listing::None;
    Kept prefix, suffix;
    std::vector<ManifestSlot> slots;
};

// Reads the manifest at `path`. Returns "" or the first problem, naming its
// line ("qordat.manifest:7: ..."). Checks each line on its own (fields, their
// count, slot order, head against the layout, storage against the kind); the
// files are the caller's.
std::string ReadManifest(const std::string& path, Manifest& manifest);

// The manifest as text, with a comment that says how to edit it.
std::string FormatManifest(const Manifest& manifest);

// A file name as a manifest field, and back (false when `field` is no
// escaped name).
std::string EscapeName(const std::string& name);
bool UnescapeName(const std::string& field, std::string& name);

}  // namespace qordat

#endif
