// drimlet-inspect show: the partition table the loader would read.
#include <cstdio>
#include <string>

#include "inspect/inspect_commands.h"
#include "inspect/inspect_flash.h"
#include "inspect/inspect_report.h"
#include "inspect/json_writer.h"

int show_partition_table(const InspectOptions& options, const char* flash_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0)
        return options.json ? print_json_failure("show", flash.error) : 1;
    FoundTable found;
    ListedBlocks listed;
    const int result = find_partition_table(flash, found) != 0 ? -1
                       : flash.is_dump                         ? check_listed_blocks(flash, found, listed)
                                                               : 0;
    close_flash(flash);
    if (result != 0) return options.json ? print_json_failure("show", flash.error) : 1;
    const std::string warning = geometry_warning(flash, found.offset, found.table.table_count, listed);
    const uint32_t erasesize = flash.info.erasesize;
    const uint64_t table_block = found.offset / erasesize;
    if (options.json) {
        JsonWriter json;
        json_begin_object(json);
        json_string(json, "command", "show");
        json_string(json, "device", flash_path);
        json_begin_object(json, "partition_table");
        json_number(json, "device_block", static_cast<int64_t>(table_block));
        json_number(json, "offset", static_cast<int64_t>(found.offset));
        json_end_object(json);
        json_begin_array(json, "image_blocks");
        for (uint32_t k = 0; k < found.table.table_count; ++k)
            json_block(json, k, found.table.entries[k], erasesize);
        json_end_array(json);
        json_number(json, "count", found.table.table_count);
        json_string_or_null(json, "geometry_warning", warning);
        json_bool(json, "ok", true);
        json_end_object(json);
        json_print(json);
        return 0;
    }
    printf("partition table at 0x%08llx (device block %llu):\n",
           static_cast<unsigned long long>(found.offset), static_cast<unsigned long long>(table_block));
    for (uint32_t k = 0; k < found.table.table_count; ++k)
        print_block("image block", k, found.table.entries[k], erasesize);
    printf("%u image blocks\n", found.table.table_count);
    if (!warning.empty()) printf("show: %s\n", warning.c_str());
    return 0;
}
