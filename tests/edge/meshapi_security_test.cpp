/* Bus security without a bus: the keys bus-keys makes, the checks of a
 * <Security> section's files, and the rate limit of the transport's lines. */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "bus_keys_support.h"
#include "meshapi/security.h"
#include "meshapi/tidemesh.h"

using namespace com::quillmark::tidemesh;
using meshtest::bus_keys;
using meshtest::Deployment;
using meshtest::TempDir;

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int mode_of(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

/* The security files of `node` as its configuration names them. */
SecurityFiles files_of(const Deployment &d, const TempDir &dir, const std::string &node) {
  return parse_bus_config(slurp(d.config(dir, node)), node).security;
}

/* The message check_security_files gives, or "" when it accepts. */
std::string refusal(const SecurityFiles &f, std::time_t now = std::time(nullptr)) {
  try {
    check_security_files(f, now);
  } catch (const SecurityError &e) {
    return e.what();
  }
  return "";
}

}  // namespace

/* ---- bus-keys */

TEST(BusKeys, MakesADeploymentOfPrivateFilesThatPassTheChecks) {
  TempDir keys, dir;
  const std::string out = bus_keys("--dir " + keys.path() + " cam:publish viewer:subscribe hub");
  for (const char *node : {"cam", "viewer", "hub"}) {
    EXPECT_NE(out.find("<IdentityCertificate>file:" + keys.file(node) + "_cert.pem</IdentityCertificate>"),
              std::string::npos) << out;
    EXPECT_NE(out.find("<Permissions>file:" + keys.file(node) + "_permissions.p7s</Permissions>"),
              std::string::npos) << out;
    EXPECT_EQ(mode_of(keys.file(node) + "_key.pem"), 0600) << node;
    EXPECT_EQ(mode_of(keys.file(node) + "_permissions.p7s"), 0600) << node;
    EXPECT_EQ(certificate_subject(keys.file(node) + "_cert.pem"), std::string("CN=") + node + ",O=ov-bus");
  }
  EXPECT_EQ(mode_of(keys.file("ca_key.pem")), 0600);
  EXPECT_EQ(mode_of(keys.path()), 0700);
  // What it printed is what --secure puts in a configuration, and it passes.
  const std::string config = meshtest::write_loopback_config(dir, "hub.xml");
  bus_keys("--dir " + keys.path() + " --secure hub " + config);
  const BusConfig cfg = parse_bus_config(slurp(config), config);
  ASSERT_TRUE(cfg.security.present);
  EXPECT_EQ(cfg.security.identityCertificate, keys.file("hub_cert.pem"));
  EXPECT_EQ(cfg.security.privateKey, keys.file("hub_key.pem"));
  EXPECT_EQ(cfg.security.governance, keys.file("governance.p7s"));
  EXPECT_EQ(refusal(cfg.security), "");
  EXPECT_EQ(slurp(config + ".bak"), slurp(meshtest::write_loopback_config(dir, "plain.xml")));
  // A second --secure replaces the section instead of adding one.
  bus_keys("--dir " + keys.path() + " --secure cam " + config);
  const std::string twice = slurp(config);
  EXPECT_EQ(twice.find("<Security>"), twice.rfind("<Security>"));
  EXPECT_EQ(parse_bus_config(twice, config).security.identityCertificate, keys.file("cam_cert.pem"));
}

TEST(BusKeys, AddsANodeToTheSameAuthorityAndNeverRemakesIt) {
  Deployment d("cam:publish");
  TempDir dir;
  const std::string ca = slurp(d.file("ca_cert.pem")), governance = slurp(d.file("governance.p7s"));
  bus_keys("--dir " + d.dir() + " --node late:subscribe");
  EXPECT_EQ(slurp(d.file("ca_cert.pem")), ca);
  EXPECT_EQ(slurp(d.file("governance.p7s")), governance);
  EXPECT_EQ(refusal(files_of(d, dir, "late")), "");
  EXPECT_EQ(refusal(files_of(d, dir, "cam")), "");
  int rc = 0;
  std::string out = bus_keys("--dir " + d.dir() + " other", false, &rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("already holds an authority"), std::string::npos) << out;
  EXPECT_EQ(slurp(d.file("ca_cert.pem")), ca);
  out = bus_keys("--dir " + d.dir() + " --node late", false, &rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("node late already exists"), std::string::npos) << out;
  TempDir empty;
  out = bus_keys("--dir " + empty.path() + " --node x", false, &rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("holds no authority"), std::string::npos) << out;
}

TEST(BusKeys, RefusesKeysInsideTheRepositoryAndBadNames) {
  int rc = 0;
  const std::string inside = meshtest::source_file("build-keys-test-" + std::to_string(getpid()));
  std::string out = bus_keys("--dir " + inside + " cam", false, &rc);
  EXPECT_NE(rc, 0);
  EXPECT_NE(out.find("inside the repository"), std::string::npos) << out;
  EXPECT_EQ(mode_of(inside), -1) << "the folder must not even be made";
  TempDir keys;
  for (const char *bad : {"'a b'", "cam:reader", "../x", "--days 0 cam"}) {
    out = bus_keys("--dir " + keys.path() + "/k " + bad, false, &rc);
    EXPECT_NE(rc, 0) << bad << ": " << out;
    EXPECT_EQ(mode_of(keys.file("k/ca_key.pem")), -1) << bad;
  }
}

/* ---- the <Security> section and its files */

TEST(SecuritySection, NeedsEveryValueAndTakesFileUris) {
  const std::string all =
      "<Security><Authentication><IdentityCertificate>file:/k/c.pem</IdentityCertificate>"
      "<PrivateKey>file:/k/k.pem</PrivateKey><IdentityCA> file:/k/ca.pem </IdentityCA>"
      "</Authentication><AccessControl><Governance>file:/k/g.p7s</Governance>"
      "<PermissionsCA>/k/ca.pem</PermissionsCA><Permissions>file:/k/p.p7s</Permissions>"
      "</AccessControl><Cryptographic/></Security>";
  const SecurityFiles f = parse_security_section("<Domain>" + all + "</Domain>", "t");
  EXPECT_TRUE(f.present);
  EXPECT_EQ(f.identityCertificate, "/k/c.pem");
  EXPECT_EQ(f.identityCA, "/k/ca.pem");
  EXPECT_EQ(f.permissionsCA, "/k/ca.pem");
  EXPECT_EQ(f.permissions, "/k/p.p7s");
  EXPECT_FALSE(parse_security_section("<Domain><General/></Domain>", "t").present);
  // A commented-out section is no section.
  EXPECT_FALSE(parse_bus_config("<CycloneDDS><Domain id=\"3\"><!--" + all + "--></Domain></CycloneDDS>",
                                "t").security.present);
  for (const char *tag : {"IdentityCertificate", "PrivateKey", "IdentityCA", "Governance",
                          "PermissionsCA", "Permissions"}) {
    std::string cut = all;
    const std::string open = std::string("<") + tag + ">";
    const size_t b = cut.find(open);
    cut.erase(b, cut.find(std::string("</") + tag + ">", b) + open.size() + 1 - b);
    try {
      parse_security_section(cut, "cfg.xml");
      ADD_FAILURE() << "accepted a section without " << tag;
    } catch (const SecurityError &e) {
      EXPECT_NE(std::string(e.what()).find(std::string("cfg.xml: the <Security> section has no <") + tag + ">"),
                std::string::npos) << e.what();
    }
  }
}

class SecurityFilesCheck : public ::testing::Test {
 protected:
  SecurityFilesCheck() : d("cam:publish viewer:subscribe"), other("alien") {}
  Deployment d, other;
  TempDir dir;
  SecurityFiles cam() { return files_of(d, dir, "cam"); }
};

TEST_F(SecurityFilesCheck, EachFaultIsNamedWithItsFile) {
  struct Case {
    const char *what;
    std::function<void(SecurityFiles &)> spoil;
    std::vector<std::string> said;
  };
  const std::vector<Case> cases = {
      {"missing certificate", [&](SecurityFiles &f) { f.identityCertificate = d.file("nope.pem"); },
       {"identity certificate " + d.file("nope.pem") + " cannot be read: No such file"}},
      {"certificate of another authority",
       [&](SecurityFiles &f) { f.identityCertificate = other.file("alien_cert.pem"); },
       {"identity certificate " + other.file("alien_cert.pem") + " (CN=alien,O=ov-bus) was not issued by "
        "the identity CA " + d.file("ca_cert.pem")}},
      {"wrong identity CA", [&](SecurityFiles &f) { f.identityCA = other.file("ca_cert.pem"); },
       {"was not issued by the identity CA " + other.file("ca_cert.pem")}},
      {"another node's key", [&](SecurityFiles &f) { f.privateKey = d.file("viewer_key.pem"); },
       {"private key " + d.file("viewer_key.pem") + " does not belong to the identity certificate " +
        d.file("cam_cert.pem")}},
      {"a certificate as key", [&](SecurityFiles &f) { f.privateKey = d.file("cam_cert.pem"); },
       {"private key " + d.file("cam_cert.pem") + " is not an unencrypted PEM private key"}},
      {"another node's permissions", [&](SecurityFiles &f) { f.permissions = d.file("viewer_permissions.p7s"); },
       {"permissions document " + d.file("viewer_permissions.p7s") +
        " has no grant for this node's certificate subject CN=cam,O=ov-bus (it grants: CN=viewer,O=ov-bus)"}},
      {"unsigned permissions", [&](SecurityFiles &f) { f.permissions = d.file("cam_permissions.xml"); },
       {"permissions document " + d.file("cam_permissions.xml") + " is not a signed document"}},
      {"governance of another authority", [&](SecurityFiles &f) { f.governance = other.file("governance.p7s"); },
       {"governance document " + other.file("governance.p7s") + " is not signed by the permissions CA " +
        d.file("ca_cert.pem")}},
      {"permissions CA of another authority", [&](SecurityFiles &f) { f.permissionsCA = other.file("ca_cert.pem"); },
       {"governance document " + d.file("governance.p7s") + " is not signed by the permissions CA " +
        other.file("ca_cert.pem")}},
  };
  ASSERT_EQ(refusal(cam()), "");
  for (const Case &c : cases) {
    SecurityFiles f = cam();
    c.spoil(f);
    const std::string said = refusal(f);
    EXPECT_FALSE(said.empty()) << c.what << " was accepted";
    for (const std::string &s : c.said) EXPECT_NE(said.find(s), std::string::npos) << c.what << ": " << said;
  }
}

TEST_F(SecurityFilesCheck, DatesOfTheCertificateAndTheGrantCount) {
  const std::time_t now = std::time(nullptr);
  // bus-keys makes node certificates for 365 days and its authority for 3650.
  EXPECT_EQ(refusal(cam(), now + 364 * 86400), "");
  std::string said = refusal(cam(), now + 367 * 86400);
  EXPECT_NE(said.find("identity certificate " + d.file("cam_cert.pem") + " has expired: it was valid until"),
            std::string::npos) << said;
  said = refusal(cam(), now - 2 * 86400);
  EXPECT_NE(said.find("is not valid yet"), std::string::npos) << said;
  d.expire_certificate("cam");
  said = refusal(cam(), now);
  EXPECT_NE(said.find("identity certificate " + d.file("cam_cert.pem") + " has expired"), std::string::npos)
      << said;
}

TEST_F(SecurityFilesCheck, AGrantIsFoundByItsSubjectWrittenAnyWayAndRefusedOnceExpired) {
  // Permissions written by hand: the subject in another order with spaces,
  // signed by the deployment's authority.
  auto sign = [&](const std::string &subject, const std::string &notAfter) {
    const std::string xml = dir.write(
        "p.xml", "<dds><permissions><grant name=\"g\"><subject_name>" + subject +
                     "</subject_name><validity><not_before>2020-01-01T00:00:00</not_before><not_after>" +
                     notAfter + "</not_after></validity></grant></permissions></dds>");
    int rc = 0;
    const std::string out = meshtest::run_command(
        "openssl smime -sign -text -in " + xml + " -out " + dir.file("p.p7s") + " -signer " +
            d.file("ca_cert.pem") + " -inkey " + d.file("ca_key.pem"), &rc);
    EXPECT_EQ(rc, 0) << out;
    SecurityFiles f = cam();
    f.permissions = dir.file("p.p7s");
    return refusal(f);
  };
  EXPECT_EQ(sign("O=ov-bus, CN=cam", "2099-01-01T00:00:00"), "");
  const std::string said = sign("CN=cam,O=ov-bus", "2021-06-30T12:00:00");
  EXPECT_NE(said.find("permissions document " + dir.file("p.p7s") +
                      ": the grant for CN=cam,O=ov-bus expired on 2021-06-30 12:00:00 UTC"),
            std::string::npos) << said;
  EXPECT_NE(sign("CN=cam,O=other", "2099-01-01T00:00:00").find("has no grant"), std::string::npos);
}

/* ---- the transport's repeated lines */

TEST(LogLimiter, ShowsALineOnceAPeriodWithTheCountHeldBack) {
  using C = LogLimiter::Clock;
  LogLimiter limit(std::chrono::seconds(30), 2);
  const C::time_point t0 = C::now();
  EXPECT_EQ(limit.admit("handshake failed: a", t0), "handshake failed: a");
  EXPECT_EQ(limit.admit("handshake failed: a", t0 + std::chrono::seconds(1)), "");
  EXPECT_EQ(limit.admit("handshake failed: a", t0 + std::chrono::seconds(29)), "");
  EXPECT_EQ(limit.admit("handshake failed: b", t0 + std::chrono::seconds(29)), "handshake failed: b");
  EXPECT_EQ(limit.admit("handshake failed: a", t0 + std::chrono::seconds(31)),
            "handshake failed: a [2 more like it since it was last shown]");
  EXPECT_EQ(limit.admit("handshake failed: a", t0 + std::chrono::seconds(62)), "handshake failed: a");
  // Two texts are remembered: a third pushes out the one least recently seen.
  EXPECT_EQ(limit.admit("handshake failed: c", t0 + std::chrono::seconds(63)), "handshake failed: c");
  EXPECT_EQ(limit.admit("handshake failed: a", t0 + std::chrono::seconds(64)), "");
  EXPECT_EQ(limit.admit("handshake failed: b", t0 + std::chrono::seconds(64)), "handshake failed: b");
}

TEST(TransportLog, RefusedPeersAreToldApartFromOtherLines) {
  // as the transport says them on this machine
  EXPECT_TRUE(is_peer_refusal("Begin handshake reply failed: Certificate not valid: error: "
                              "certificate signature failure; subject: /O=ov-bus/CN=alien(code: 200)"));
  EXPECT_TRUE(is_peer_refusal("remote participant 1d2e3f4a: not allowed by security"));
  EXPECT_FALSE(is_peer_refusal("handshake with 1d2e3f4a completed"));
  EXPECT_FALSE(is_peer_refusal("ddsi_udp_conn_write to udp/127.0.0.1:7410 failed with retcode -1"));
}
