/* The element's plain parsing: the dims text and the label file. */
#ifndef OV_TRANSLATOR_CORE_H
#define OV_TRANSLATOR_CORE_H

#include <istream>
#include <string>
#include <vector>

namespace orvane {
namespace ai {

struct DimsParse {
  std::vector<int> dims;
  bool not_divisible = false; /* n is not a multiple of the fixed dims */
  bool several_auto = false;  /* more than one 0: the later ones dropped */
  bool automatic = false;     /* exactly one 0, computed from n */
};

/* Splits `text` at ',' into integers; the first 0 becomes n divided by the
 * product of the others.  NULL text gives no dims.  A product that does not
 * fit or is not positive never divides: the automatic dim is then 0. */
DimsParse parse_dims(int n, const char *text);

/* "1,255,13,13," as the debug line shows it. */
std::string dims_to_string(const std::vector<int> &dims);

/* One label per line, unchanged (a '\r' stays), no label after a final
 * newline. */
std::vector<std::string> read_label_lines(std::istream &in);

}  // namespace ai
}  // namespace orvane

#endif /* OV_TRANSLATOR_CORE_H */
