#pragma once

namespace vintrace::platform {

/// Lowers the calling thread below the window's thread: on two cores a load, a hide and an
/// index build together keep three or four threads busy, and at equal priority the scheduler
/// left the window's thread waiting for its turn for 100–500 ms at a time. Background work
/// loses only what the window uses. Threads the caller starts afterwards inherit the lower
/// priority on Linux; on Windows each thread that should run behind calls this itself.
/// Failure leaves the priority as it was: it only costs smoothness.
void RunBehindTheWindow();

} // namespace vintrace::platform
