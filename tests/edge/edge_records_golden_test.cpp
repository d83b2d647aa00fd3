/* The wire bytes and texts of every bus record, pinned.  Each record is
 * filled in every field with a value that differs from its default, encoded
 * through the payload codec and compared with the bytes below; the bytes
 * decode back to the same record, and the texts are the ones below.  A change
 * to a tag name, a value kind, a pair order or a text line shows here. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "edge_records.h"
#include "meshapi/nvp_codec.h"
#include "record_samples.h"

using namespace VXCORE;
using namespace recordsamples;
namespace iot = com::quillmark::iot;

namespace {

std::string hex(const std::vector<uint8_t> &bytes) {
  std::string out;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02x", v);
    out += b;
  }
  return out;
}

std::vector<uint8_t> unhex(const std::string &text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  return out;
}

NVPSeq from_hex(const std::string &text) {
  const std::vector<uint8_t> b = unhex(text);
  return iot::decode_payload(b.data(), b.size());
}

/* Encodes to the pinned bytes; the bytes decode (copying, and moving where
 * the record has it) to the record itself. */
template <typename R>
void pinned(const R &r, const std::string &bytes) {
  EXPECT_EQ(hex(iot::encode_payload(r.Encode())), bytes);
  R copied;
  copied.Decode(static_cast<const NVPSeq &>(from_hex(bytes)));
  EXPECT_TRUE(copied == r) << "copying decode";
}
template <typename R>
void pinned_moving(const R &r, const std::string &bytes) {
  pinned(r, bytes);
  R moved;
  moved.Decode(from_hex(bytes));
  EXPECT_TRUE(moved == r) << "moving decode";
}

const std::string kStars = "************************************\n";

}  // namespace

TEST(EdgeRecordsGolden, FrameAndDevice) {
  pinned_moving(frame(),
                "010b0973747265616d5f6964010563616d2d37086672616d655f696402015ed0"
                "b20974696d657374616d700485757ebf89feffff0464617461060c0001027f80"
                "c8ff0708090a0b05776964746802020000000668656967687402020000000863"
                "68616e6e656c7302030000000473697a65020c00000006666f726d6174010442"
                "4752380b636f6d7072657373696f6e01044e4f4e45096672616d657261746505"
                "00004841");
  pinned_moving(FrameInfo(),
                "010b0973747265616d5f69640100086672616d655f696402000000000974696d"
                "657374616d700400000000000000000464617461060005776964746802000000"
                "00066865696768740200000000086368616e6e656c7302000000000473697a65"
                "020000000006666f726d617401000b636f6d7072657373696f6e010009667261"
                "6d65726174650500000000");
  pinned(device(),
         "010d0973747265616d5f6964010563616d2d370b6d61635f6164647265737301"
         "1130303a31313a32323a33333a34343a35350a69705f61646472657373010831"
         "302e312e322e3304706f727403d6fdffff037572690111727473703a2f2f3130"
         "2e312e322e332f730c6d616e75666163747572657201056d616b6572056d6f64"
         "656c01026d310673657269616c0103736e390a66775f76657273696f6e010332"
         "2e30066465765f696401036465760673746174757301027570046b696e640106"
         "63616d6572610870726f746f636f6c010472747370");
  EXPECT_EQ(frame().GetString(), kStars +
                                     "stream_id = cam-7\n"
                                     "frame_id = 3000000001\n"
                                     "timestamp = -1607400000123\n"
                                     "data = 0,1,2,127,128,200,255,7,8,9, ... \n"
                                     "width = 2\n"
                                     "height = 2\n"
                                     "channels = 3\n"
                                     "size = 12\n"
                                     "format = BGR8\n"
                                     "compression = NONE\n"
                                     "framerate = 12.5\n" +
                                     kStars);
  EXPECT_EQ(FrameInfo().GetString(), "");
  EXPECT_EQ(device().GetString(), kStars +
                                      "stream_id = cam-7\n"
                                      "mac_address = 00:11:22:33:44:55\n"
                                      "ip_address = 10.1.2.3\n"
                                      "port = -554\n"
                                      "URI = rtsp://10.1.2.3/s\n"
                                      "manufacturer = maker\n"
                                      "model = m1\n"
                                      "serial = sn9\n"
                                      "fw_version = 2.0\n"
                                      "dev_id = dev\n"
                                      "status = up\n"
                                      "kind = camera\n"
                                      "protocol = rtsp\n" +
                                      kStars);
}

TEST(EdgeRecordsGolden, ResultRecords) {
  Information<ClassificationData> c;
  c.engine_id = "eng";
  c.stream_id = "cam-7";
  c.frame_id = 5;
  c.data = {cls(-3, "cat"), cls(2, "dog")};
  pinned(c,
         "010409656e67696e655f69640103656e670973747265616d5f6964010563616d"
         "2d37086672616d655f696402050000000464617461070200070405696e646578"
         "03fdffffff066f7574707574010470726f62056c6162656c01036361740b7072"
         "6f626162696c697479050000403f00070405696e6465780302000000066f7574"
         "707574010470726f62056c6162656c0103646f670b70726f626162696c697479"
         "050000403f");
  EXPECT_EQ(c.GetString(), kStars +
                               "EngineID = eng\n"
                               "StreamID = cam-7\n"
                               "FrameID = 5\n"
                               "Data content = \n"
                               "[0]\n"
                               " Index = -3\n"
                               " Output = prob\n"
                               " Label = cat\n"
                               " Probability = 0.75\n"
                               " --------- \n"
                               "[1]\n"
                               " Index = 2\n"
                               " Output = prob\n"
                               " Label = dog\n"
                               " Probability = 0.75\n"
                               " --------- \n" +
                               kStars);

  Information<DetectionBoxData> d;
  d.engine_id = "eng";
  d.stream_id = "cam-7";
  d.frame_id = 6;
  d.data = {box(-1, 3), box(4, -2)};
  pinned(d,
         "010409656e67696e655f69640103656e670973747265616d5f6964010563616d"
         "2d37086672616d655f696402060000000464617461070200070a066f626a5f69"
         "6403ffffffff096f626a5f6c6162656c010363617208636c6173735f69640303"
         "0000000b636c6173735f6c6162656c010776656869636c65027831050000003e"
         "027931050000803e027832050000003f027932050000c03f0b70726f62616269"
         "6c697479050000603f046d65746101077b226b223a317d00070a066f626a5f69"
         "640304000000096f626a5f6c6162656c010363617208636c6173735f696403fe"
         "ffffff0b636c6173735f6c6162656c010776656869636c65027831050000003e"
         "027931050000803e027832050000003f027932050000c03f0b70726f62616269"
         "6c697479050000603f046d65746101077b226b223a317d");
  EXPECT_EQ(d.GetString(), kStars +
                               "EngineID = eng\n"
                               "StreamID = cam-7\n"
                               "FrameID = 6\n"
                               "Data content = \n"
                               "[0]\n"
                               " (ObjID, ObjLabel) = (-1, car)\n"
                               " (ClassID, ClassLabel) = (3, vehicle)\n"
                               " (X1, Y1, X2, Y2) = (0.125, 0.25, 0.5, 1.5)\n"
                               " Probability = 0.875\n"
                               " Meta = {\"k\":1}\n"
                               " --------- \n"
                               "[1]\n"
                               " (ObjID, ObjLabel) = (4, car)\n"
                               " (ClassID, ClassLabel) = (-2, vehicle)\n"
                               " (X1, Y1, X2, Y2) = (0.125, 0.25, 0.5, 1.5)\n"
                               " Probability = 0.875\n"
                               " Meta = {\"k\":1}\n"
                               " --------- \n" +
                               kStars);
  d.data.clear();
  pinned(d,
         "010409656e67696e655f69640103656e670973747265616d5f6964010563616d"
         "2d37086672616d655f6964020600000004646174610700");

  SegmentInfo s;
  s.engine_id = "eng";
  s.stream_id = "cam-7";
  s.frame_id = 7;
  s.inference_id = 8;
  s.data = {run(1), run(2)};
  pinned(s,
         "010509656e67696e655f69640103656e670973747265616d5f6964010563616d"
         "2d37086672616d655f696402070000000c696e666572656e63655f6964020800"
         "00000464617461070200070a0269640201000000067265706561740204000000"
         "05776964746802060000000668656967687402050000000473697a6502030000"
         "00086368616e6e656c73020100000005636f6c6f72020080ff00056c6162656c"
         "0104726f61640b70726f626162696c697479050000003f046461746106030302"
         "0100070a02696402020000000672657065617402040000000577696474680206"
         "0000000668656967687402050000000473697a650203000000086368616e6e65"
         "6c73020100000005636f6c6f72020080ff00056c6162656c0104726f61640b70"
         "726f626162696c697479050000003f04646174610603030201");
  EXPECT_EQ(s.GetString(), kStars +
                               "engine_id = eng\n"
                               "stream_id = cam-7\n"
                               "frame_id = 7\n"
                               "inference_id = 8\n"
                               "data = \n"
                               "1, road, 6, 5\n"
                               "2, road, 6, 5\n"
                               " ... \n" +
                               kStars);
  s.data.clear();
  pinned(s,
         "010509656e67696e655f69640103656e670973747265616d5f6964010563616d"
         "2d37086672616d655f696402070000000c696e666572656e63655f6964020800"
         "000004646174610700");
  EXPECT_EQ(s.GetString(), "");

  // The elements alone: classification and detection elements append to a
  // sequence that may already hold pairs.
  NVPSeq appended(1);
  cls(1, "x").Encode(appended);
  box(1, 2).Encode(appended);
  EXPECT_EQ(hex(iot::encode_payload(appended)),
            "010f000005696e6465780301000000066f7574707574010470726f62056c6162"
            "656c0101780b70726f626162696c697479050000403f066f626a5f6964030100"
            "0000096f626a5f6c6162656c010363617208636c6173735f696403020000000b"
            "636c6173735f6c6162656c010776656869636c65027831050000003e02793105"
            "0000803e027832050000003f027932050000c03f0b70726f626162696c697479"
            "050000603f046d65746101077b226b223a317d");
}

TEST(EdgeRecordsGolden, CombinedRecord) {
  pinned_moving(uni(),
                "010209566964656f4c697374070200070e0973747265616d5f6964010563616d"
                "2d38086672616d655f6964024d0000000974696d657374616d70047b8a814076"
                "0100000464617461060309080705776964746802010000000668656967687402"
                "01000000086368616e6e656c7302030000000473697a65020300000006666f72"
                "6d61740104524742380b636f6d7072657373696f6e01034a5047096672616d65"
                "72617465050000f04114436c617373696669636174696f6e526573756c740702"
                "00070509656e67696e655f69640103656e6705696e6465780200286bee066f75"
                "7470757401036f7574056c6162656c0103646f670b70726f626162696c697479"
                "050000803e00070509656e67696e655f69640103656e6705696e646578020100"
                "0000066f757470757401036f7574056c6162656c0103646f670b70726f626162"
                "696c697479050000803e0f446574656374696f6e526573756c74070100070b09"
                "656e67696e655f69640103656e67066f626a5f69640201286bee096f626a5f6c"
                "6162656c010462616c6c08636c6173735f696402020000000b636c6173735f6c"
                "6162656c0103746f79027831050000803f027931050000004002783205000040"
                "4002793205000080400b70726f626162696c697479050000203f046d65746101"
                "016d125365676d656e746174696f6e526573756c74070100070a026964020100"
                "0000067265706561740204000000057769647468020600000006686569676874"
                "02050000000473697a650203000000086368616e6e656c73020100000005636f"
                "6c6f72020080ff00056c6162656c0104726f61640b70726f626162696c697479"
                "050000003f0464617461060303020100070e0973747265616d5f696401056361"
                "6d2d39086672616d655f696402010000000974696d657374616d700400000000"
                "0000000004646174610600057769647468020000000006686569676874020000"
                "0000086368616e6e656c7302000000000473697a65020000000006666f726d61"
                "7401000b636f6d7072657373696f6e0100096672616d65726174650500000000"
                "14436c617373696669636174696f6e526573756c7407000f446574656374696f"
                "6e526573756c740700125365676d656e746174696f6e526573756c7407000a44"
                "65766963654c697374070100070d0973747265616d5f6964010563616d2d370b"
                "6d61635f61646472657373011130303a31313a32323a33333a34343a35350a69"
                "705f61646472657373010831302e312e322e3304706f727403d6fdffff037572"
                "690111727473703a2f2f31302e312e322e332f730c6d616e7566616374757265"
                "7201056d616b6572056d6f64656c01026d310673657269616c0103736e390a66"
                "775f76657273696f6e0103322e30066465765f69640103646576067374617475"
                "7301027570046b696e64010663616d6572610870726f746f636f6c0104727473"
                "70");
  pinned_moving(UniInfo(), "010209566964656f4c69737407000a4465766963654c6973740700");
  pinned_moving(video(),
                "010e0973747265616d5f6964010563616d2d38086672616d655f6964024d0000"
                "000974696d657374616d70047b8a814076010000046461746106030908070577"
                "696474680201000000066865696768740201000000086368616e6e656c730203"
                "0000000473697a65020300000006666f726d61740104524742380b636f6d7072"
                "657373696f6e01034a5047096672616d6572617465050000f04114436c617373"
                "696669636174696f6e526573756c74070200070509656e67696e655f69640103"
                "656e6705696e6465780200286bee066f757470757401036f7574056c6162656c"
                "0103646f670b70726f626162696c697479050000803e00070509656e67696e65"
                "5f69640103656e6705696e6465780201000000066f757470757401036f757405"
                "6c6162656c0103646f670b70726f626162696c697479050000803e0f44657465"
                "6374696f6e526573756c74070100070b09656e67696e655f69640103656e6706"
                "6f626a5f69640201286bee096f626a5f6c6162656c010462616c6c08636c6173"
                "735f696402020000000b636c6173735f6c6162656c0103746f79027831050000"
                "803f0279310500000040027832050000404002793205000080400b70726f6261"
                "62696c697479050000203f046d65746101016d125365676d656e746174696f6e"
                "526573756c74070100070a026964020100000006726570656174020400000005"
                "776964746802060000000668656967687402050000000473697a650203000000"
                "086368616e6e656c73020100000005636f6c6f72020080ff00056c6162656c01"
                "04726f61640b70726f626162696c697479050000003f04646174610603030201");
}
