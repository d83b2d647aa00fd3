/* Adds the things (and, on the receiving side, the reader threads) for the
 * tag groups an element's `taggroups` property names. */
#ifndef OVEDGE_MODEL_LOADER_H
#define OVEDGE_MODEL_LOADER_H

#include <memory>
#include <string>
#include <vector>

#include "edge.h"
#include "synchronizer.h"

namespace VXCORE {

class ModelLoader {
 public:
  static void addThingOutByProp(const std::shared_ptr<Edge> &edge, std::vector<std::string> &names);
  static void addThingInByProp(const std::shared_ptr<Edge> &edge, std::vector<std::string> &names,
                               ReceiveImage &receiver, const std::string &flowId);
};

}  // namespace VXCORE

#endif
