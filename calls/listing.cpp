// The listing of every entry of an archive (GetArchiveInfo).
#include <string.h>

#include "archive/container.h"
#include "archive/entry.h"
#include "archive/table.h"
#include "calls/archive_file.h"
#include "calls/calls.h"

// Everything one listing takes, released in one place.
struct Listing {
    PluginState* state;
    ArchiveFile archive;
    bool archiveOpen;
    EntryLocator* locators;
    HeadReader reader;
    HostBlock block;
    EntryInfo* records;  // the block, locked
};

// Releases what the listing holds. On success the block goes to the host
// unlocked; on failure it is freed and the host's variable gets a null
// handle, so a host that looks at the handle before the code cannot take
// garbage for a list.
static ResultCode FinishListing(Listing* listing, ResultCode result, HostBlock* listHandle)
{
    if (listing->records) HostUnlock(listing->block);
    if (result != RESULT_OK && listing->block) HostFree(listing->block);
    CloseHeadReader(&listing->reader);
    WorkFree(listing->locators);
    if (listing->archiveOpen) CloseArchive(&listing->archive);
    if (listHandle) *listHandle = result == RESULT_OK ? listing->block : NULL;
    return result;
}

// Locates every slot and reads its kind and declared size (the first six
// bytes of the head that the current layout and setting ask for). Returns the
// number of non-empty slots, or -1 when a head buffer cannot be allocated.
static int32_t LocateEntries(Listing* listing)
{
    const PluginState* state = listing->state;
    const ArchiveFile* archive = &listing->archive;
    TableWalk walk;
    ArchiveWalkStart(archive, &walk);
    SlotPlace place;
    while (TableWalkNext(&walk, &place)) {
        uint32_t headSize = EntryHeadSize(place.storedSize, state->memory.entryLayout, state->settings.CheckMode, false);
        if (!LocateEntry(&listing->reader, place.offset, place.storedSize, headSize, &listing->locators[place.index]))
            return -1;
    }
    return walk.nonEmpty;
}

// Builds the records of the listed slots into the locked block. A build may
// raise the layout, so each head is read with the size in force at its slot.
static ResultCode BuildRecords(Listing* listing)
{
    PluginState* state = listing->state;
    const ArchiveFile* archive = &listing->archive;
    EntryInfo* cursor = listing->records;
    TableWalk walk;
    ArchiveWalkStart(archive, &walk);
    SlotPlace place;
    while (TableWalkNext(&walk, &place)) {
        EntryLocator* locator = &listing->locators[place.index];
        int32_t storedSize = place.storedSize;
        if (state->settings.NumberingMode == NUMBERING_WITH_DUMMIES || storedSize != 0) {
            uint32_t headSize = EntryHeadSize(storedSize, state->memory.entryLayout, state->settings.CheckMode, false);
            ResultCode result = ReadEntryRecord(state, state->settings.NumberingMode, &listing->reader, place.offset, headSize,
                                         SlotNumber(&place, state->settings.NumberingMode), locator, cursor);
            if (result != RESULT_OK) return result;
            cursor->position = (EntryWord)EntryPosition(place.index, state->settings.NumberingMode);
            cursor++;
        }
    }
    cursor->method[0] = 0;  // end mark (the block is zero-filled already)
    return RESULT_OK;
}

ResultCode ListArchive(PluginState* state, const char* path, int64_t offset, unsigned flags, HostBlock* listHandle)
{
    Listing listing;
    memset(&listing, 0, sizeof listing);
    listing.state = state;
    if (!InputIsFile(flags)) return FinishListing(&listing, RESULT_UNSUPPORTED_FLAGS, listHandle);

    // A file that is not an archive leaves the layout that the last archive
    // listed left for extraction: the detection writes only what it accepts.
    ResultCode result = OpenArchive(state, path, offset, VALIDATE_LISTING, &listing.archive);
    if (result != RESULT_OK) return FinishListing(&listing, result, listHandle);
    listing.archiveOpen = true;

    int32_t count = listing.archive.count;
    listing.locators = (EntryLocator*)WorkAlloc((size_t)count * sizeof(EntryLocator));
    if (!listing.locators) return FinishListing(&listing, RESULT_NO_MEMORY, listHandle);
    if (!OpenHeadReader(&listing.reader, &listing.archive, HEAD_WINDOW_SIZE))
        return FinishListing(&listing, RESULT_NO_MEMORY, listHandle);

    int32_t nonEmpty = LocateEntries(&listing);
    if (nonEmpty < 0) return FinishListing(&listing, RESULT_NO_MEMORY, listHandle);

    int32_t recordCount = state->settings.NumberingMode == NUMBERING_WITH_DUMMIES ? count : nonEmpty;
    listing.block = HostAlloc((size_t)(recordCount + 1) * sizeof(EntryInfo));
    if (!listing.block) return FinishListing(&listing, RESULT_NO_HOST_MEMORY, listHandle);
    listing.records = (EntryInfo*)HostLock(listing.block);
    if (!listing.records) return FinishListing(&listing, RESULT_NO_MEMORY, listHandle);

    return FinishListing(&listing, BuildRecords(&listing), listHandle);
}
