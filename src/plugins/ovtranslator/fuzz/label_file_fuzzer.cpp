/* libFuzzer target: a label file as the translator reads it, and its labels
 * where they go next, a classification naming label k.  The reader keeps
 * every line unchanged (nothing lost, nothing added), and the translator hands
 * label k through as it is or gives the class number when the file has no
 * line k. */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "translator_core.h"
#include "translators.h"

using namespace orvane::ai;

namespace {

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "label_file_fuzzer: %s\n", what);
  std::abort();
}

/* The file the labels came from: lines joined by '\n'. */
std::string rejoin(const std::vector<std::string> &labels, bool final_newline) {
  std::string s;
  for (size_t i = 0; i < labels.size(); ++i) {
    if (i) s += '\n';
    s += labels[i];
  }
  if (final_newline) s += '\n';
  return s;
}

/* A one-frame score vector whose best class is k. */
void classify(size_t k, size_t classes, const std::vector<std::string> &labels) {
  std::vector<float> scores(classes, 0.f);
  scores[k] = 1.f;
  TranslateInfo info;
  info[kTensorCountKey] = TranslateElem(static_cast<int32_t>(classes));
  Result result;
  if (!ClassifierTopology(scores.data(), {1, static_cast<int>(classes)}, labels, info, result) ||
      result.classification.size() != 1)
    fail("a one-frame classification failed");
  const std::string want = k < labels.size() ? labels[k] : std::to_string(k);
  if (result.classification[0].label != want) fail("the classification names another label");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string file(reinterpret_cast<const char *>(data), size);
  std::istringstream in(file);
  const std::vector<std::string> labels = read_label_lines(in);
  if (rejoin(labels, !file.empty() && file.back() == '\n') != file)
    fail("the labels are not the lines of the file");

  const size_t classes = labels.size() + 1;  // one class beyond the file
  const std::set<size_t> picks = {0, labels.size() / 2, labels.size() ? labels.size() - 1 : 0,
                                  labels.size()};
  for (size_t k : picks) classify(k, classes, labels);
  return 0;
}
