// The wrapper's side of FLASH.pages, the record of which pages were
// programmed since their block's last erase and which blocks were marked bad.
#pragma once

#include <stdint.h>

#include <string>

namespace mtdsim {

// Makes `pages_path` describe `flash` before a run: all erased and no block
// marked bad for a flash file just created; the page bits kept when it was
// stamped after the last run and the flash file has not changed since, else
// rebuilt from the flash contents (a page that is not all 0xFF counts as
// programmed), the bad-block marks kept either way. Clears the stamp, so a
// run that never finishes leaves it to be rebuilt, and the ECC counters.
// Returns 0, or -1 with errno set.
int prepare_page_state(const std::string& flash, const std::string& pages_path, uint64_t size, uint64_t unit,
                       uint64_t blocks, bool created);

// Records the flash file as it is now, after a run. Returns 0 or -1.
int stamp_page_state(const std::string& flash, const std::string& pages_path);

}  // namespace mtdsim
