// The three standard descriptors, made safe before anything else is opened.
#pragma once

// Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed, so the
// next open (the MTD device) can never become standard output or error and
// have messages programmed into the flash. Ignores SIGPIPE, so a reader of
// the messages that goes away cannot kill the program between the image
// blocks and the partition table; failed message writes are then ignored.
// 0, or -1 when a closed descriptor could not be filled.
int prepare_standard_streams();
