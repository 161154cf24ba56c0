#pragma once

namespace lumaflash::platform {

// Called first thing in every program's main. Opens /dev/null on each of the standard
// descriptors 0 to 2 that the program was started without, so that no port or file the program
// opens later can take one of those numbers and receive its printed text; and ignores SIGPIPE,
// so that output that nobody reads any more (`| head -1`) cannot kill an update half-way. On
// Linux it also makes timed sleeps end within 1 us of their time (the timer slack), for the
// protocol's pauses; threads started afterwards inherit that.
void PrepareProcess();

}  // namespace lumaflash::platform
