#pragma once

namespace vintrace::platform {

/// Has every large block (a chunk of records or of an index) come from the system on its own
/// and go back to it when freed. glibc's allocator otherwise raises its mapping threshold after
/// the first such block is freed and serves the rest from its heaps, which keep freed memory:
/// after a reload or hide a process of 100 M records held gigabytes of freed indexes beside
/// the new ones. Safe to call more than once; does nothing where the allocator already returns
/// large blocks (Windows).
void ReturnLargeBlocksToSystem();

} // namespace vintrace::platform
