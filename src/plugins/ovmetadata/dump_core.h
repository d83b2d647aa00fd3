/* The text the metadata dumper prints for a batch record, one string per
 * log line. */
#ifndef OVMETADATA_DUMP_CORE_H
#define OVMETADATA_DUMP_CORE_H

#include <string>
#include <vector>

#include "ovbatch_records.h"

namespace ovmetadata {

/* The lines for `batch` (NULL: the buffer has no record).  Segmentation is
 * run-length condensed: a cell is printed only when its label id differs
 * from the previous printed one (0 at the start of each frame), at most
 * `segment_num` lines per frame. */
std::vector<std::string> format_batch_dump(const OvBatch *batch, unsigned segment_num);

}  // namespace ovmetadata

#endif /* OVMETADATA_DUMP_CORE_H */
