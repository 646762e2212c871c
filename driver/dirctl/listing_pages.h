// Listing pages. A caller reading a big folder in buffers of a few KiB
// would cost one client round trip per buffer; once an enumeration goes on
// past its first buffer, the driver asks the client for a page instead
// and hands the entries out from it, buffer by buffer, to the queries that
// continue the enumeration. A page belongs to one handle and holds entries
// of one information class, already counted from its handle's enumeration
// index: it serves only the queries that would have asked the client for
// exactly its next entry (no restart, no index given, no new pattern, the
// same class). Any other query drops it.
//
// A handle's pages share one buffer of kListingPageBytes, fetched into
// again while the client fills it. Pages are kept in a table of
// kKeptListingPages slots (the least recently kept is dropped for a new
// one), so at most that many pages are held whatever the number of
// handles; the handle's context cleanup drops its page. A query takes its
// handle's page out of the table while it serves from it and puts it back.
#pragma once

#include <fltKernel.h>

#include "../support/pool.h"

namespace tavo {

inline constexpr ULONG kListingPageBytes = 512 * 1024;

struct ListingPage {
  ULONG InfoClass;
  ULONG Length;     // bytes of entries the client sent
  ULONG Next;       // offset of the first entry not handed out yet
  ULONG NextIndex;  // its enumeration index
  PoolBuffer Entries;
};

// Whether a page is worth fetching after `spent`, the handle's last page
// (all handed out), or null. Not when the client left room in it for
// another entry: it had no more then, the query most likely ends the
// listing, and a page would be fetched to hold nothing.
bool FetchAnotherListingPage(const ListingPage* spent);

// Bytes before FileName in an entry of a class whose entries the driver
// can measure (the directory-information classes an NTFS volume lists);
// 0 for every other class, whose listings are never paged.
ULONG ListingEntryHeaderBytes(ULONG infoClass);

// Whether the page's `Length` bytes of entries chain as a file system
// chains them: each entry whole (its header and name inside its link), each
// link a multiple of 8 landing inside the data, the last link 0.
bool ListingPageIsWellFormed(const ListingPage& page);

// Hands the page's next entries to a caller's buffer of `length` bytes (at
// least one entry header): as many whole entries as fit (one when
// `singleEntry`), the last one's link cut, the rest of the buffer zeroed.
// When not even the next entry fits, its header and as much of its name as
// fits, with STATUS_BUFFER_OVERFLOW, as a file system does. Sets the bytes
// and entries handed out; the page moves past them.
NTSTATUS ServeFromListingPage(ListingPage* page, UCHAR* buffer, ULONG length, bool singleEntry,
                              ULONG* bytes, ULONG* entries);

inline bool ListingPageExhausted(const ListingPage& page) { return page.Next >= page.Length; }

// The table of kept pages, keyed by the handle's StreamHandleContext.
PoolPtr<ListingPage> TakeListingPage(const void* owner);
void KeepListingPage(const void* owner, PoolPtr<ListingPage> page);
void DropListingPage(const void* owner);
// Unload: every page still kept goes.
void EmptyListingPages();

}  // namespace tavo
