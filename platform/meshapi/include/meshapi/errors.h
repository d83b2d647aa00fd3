/* Errors of the bus client. */
#ifndef MESHAPI_ERRORS_H
#define MESHAPI_ERRORS_H

#include <stdexcept>

namespace com {
namespace quillmark {
namespace tidemesh {

class MeshError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/* Bus security refused this node or one of its files: what() names the file
 * (or the permissions that refuse), says what is wrong and what to change. */
class SecurityError : public MeshError {
 public:
  using MeshError::MeshError;
};

}  // namespace tidemesh
}  // namespace quillmark
}  // namespace com

#endif
