/* mesh-peer: the second process of the bus tests.
 *
 *   mesh-peer read  CONFIG TAGGROUPS CLASS PROPS INPUT COUNT TIMEOUT_MS [FLOW|- [WRITERS]]
 *       waits (at most 10 s) until WRITERS writers matched (default 0), prints
 *       "ready", then one line "<writer> <seq> <flow>" per sample until
 *       COUNT samples arrived or TIMEOUT_MS passed; then "done <n>".
 *   mesh-peer write CONFIG TAGGROUPS CLASS PROPS OUTPUT COUNT INTERVAL_MS WRITER [READERS]
 *       waits (at most 10 s) for READERS matched readers (default 1), then
 *       writes COUNT samples {writer, seq} every INTERVAL_MS; then "done <n>".
 *       COUNT 0 writes until killed.
 *
 * The samples carry the tags "writer" (string), "seq" (uint32) and "blob"
 * (byte_seq, empty). */
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "meshapi/tidemesh.h"

namespace iot = com::quillmark::iot;
namespace mesh = com::quillmark::tidemesh;

namespace {

int usage() {
  std::cerr << "usage: mesh-peer read|write CONFIG TAGGROUPS CLASS PROPS NAME COUNT MS [FLOW|WRITER [READERS]]\n";
  return 2;
}

mesh::Thing make_thing(mesh::TideMesh &bus, char **argv) {
  mesh::JSonTagGroupRegistry tg;
  tg.registerTagGroupsFromURI(argv[3]);
  bus.addTagGroupRegistry(tg);
  mesh::JSonThingClassRegistry cls;
  cls.registerThingClassesFromURI(argv[4]);
  bus.addThingClassRegistry(cls);
  mesh::JSonThingProperties props;
  props.readPropertiesFromURI(argv[5]);
  return bus.createThing(props);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 9) return usage();
  const std::string mode = argv[1];
  const std::string name = argv[6];
  const long count = std::strtol(argv[7], nullptr, 10);
  const long ms = std::strtol(argv[8], nullptr, 10);
  try {
    mesh::TideMesh bus = mesh::TideMesh::getInstance(std::string("config=") + argv[2]);
    mesh::Thing thing = make_thing(bus, argv);
    if (mode == "read") {
      const bool flow = argc > 9 && std::string(argv[9]) != "-";
      mesh::Thing::Selector sel = flow ? thing.select(name, argv[9]) : thing.select(name);
      const size_t writers = argc > 10 ? std::strtoul(argv[10], nullptr, 10) : 0;
      auto match_end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (sel.matchedWriters() < writers && std::chrono::steady_clock::now() < match_end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::cout << "ready" << std::endl;
      long got = 0;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      while (got < count && std::chrono::steady_clock::now() < deadline) {
        for (const mesh::DataSample &s : sel.read(100)) {
          std::string writer;
          uint32_t seq = 0;
          for (const iot::IOT_NVP &p : s.getNVPSeq()) {
            if (p.name() == "writer") writer = p.value().iotv_string();
            if (p.name() == "seq") seq = p.value().iotv_uint32();
          }
          std::cout << writer << ' ' << seq << ' ' << s.getFlowId() << std::endl;
          ++got;
        }
      }
      std::cout << "done " << got << std::endl;
    } else if (mode == "write") {
      const std::string writer = argc > 9 ? argv[9] : "w";
      const size_t readers = argc > 10 ? std::strtoul(argv[10], nullptr, 10) : 1;
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (thing.matchedReaders(name) < readers && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      std::cout << "matched " << thing.matchedReaders(name) << std::endl;
      long n = 0;
      for (; count == 0 || n < count; ++n) {
        iot::IOT_NVP_SEQ sample(3);
        sample[0].name("writer");
        sample[0].value().iotv_string(writer);
        sample[1].name("seq");
        sample[1].value().iotv_uint32(static_cast<uint32_t>(n));
        sample[2].name("blob");
        sample[2].value().iotv_byte_seq({});
        thing.write(name, sample);
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      }
      std::cout << "done " << n << std::endl;
    } else {
      return usage();
    }
    thing.close();
    bus.close();
  } catch (const std::exception &e) {
    std::cerr << "mesh-peer: " << e.what() << std::endl;
    return 1;
  }
  return 0;
}
