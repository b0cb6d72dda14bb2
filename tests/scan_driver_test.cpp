// The scan driver: checks and their order, the backend session, preloads,
// summary lines, last_code, the scan user; and the scan-complete notification.
#include <functional>
#include <string>
#include <vector>

#include "core/core_internal.h"
#include "core/keys.h"
#include "scan_fixture.h"

using namespace scantest;

namespace {

const char *kEmpty = R"({"name":"","children":[]})";
const char *kOne = R"({"name":"","children":[{"name":"a.mkv","size":1}]})";

TEST(ScanChecks, EachMissingPieceIsReportedInOrderBeforeTheBackendOpens) {
  kelmcat_shutdown();
  kelffa_fake_set_fault(0, 0);
  TestVault vault;
  kelmcat_vault t = vault.table();
  struct Step {
    std::function<void()> before;  // configures one more piece
    int32_t rc;
    const char *message;
  };
  std::vector<Step> steps = {
      {[] {}, KELMCAT_ERR_NO_IO,
       "no io backend \xE2\x80\x94 call kelmcat_use_curl/use_fake/set_io first"},
      {[] { kelmcat_use_fake(); }, KELMCAT_ERR_NO_IO,
       "no matcher host \xE2\x80\x94 call kelmcat_set_matcher_host() (https only)"},
      {[] { kelmcat_set_matcher_host("https://m"); }, KELMCAT_ERR_NO_STORAGE,
       "no storage backend \xE2\x80\x94 call kelmcat_set_backend()"},
      {[] { kelmcat_set_backend("fake", nullptr); }, KELMCAT_ERR_NO_VAULT,
       "no vault \xE2\x80\x94 call kelmcat_set_vault()"},
      {[&] { kelmcat_set_vault(&t); }, KELMCAT_ERR_NOT_ARMED,
       "writes are not armed (call kelmcat_arm_writes(1)) \xE2\x80\x94 scan refuses"},
  };
  for (const Step &s : steps) {
    SCOPED_TRACE(s.message);
    s.before();
    // The argument checks come first, whatever is configured.
    EXPECT_EQ(kelmcat_scan(nullptr, "c1"), KELMCAT_ERR_ARG);
    EXPECT_STREQ(kelmcat_last_error(), "null user id");
    EXPECT_EQ(kelmcat_scan("u1", ""), KELMCAT_ERR_ARG);
    EXPECT_STREQ(kelmcat_last_error(), "null runtime config id");
    EXPECT_EQ(kelmcat_scan("u1", "c1"), s.rc);
    EXPECT_STREQ(kelmcat_last_error(), s.message);
  }
  EXPECT_EQ(kelffa_fake_calls(1), 0);  // the backend was never opened
  EXPECT_EQ(kelmcat_last_code(), 0);
  kelmcat_shutdown();
}

class Driver : public ScanTest {};

TEST_F(Driver, EmptyRootLogsStartAndSummaryAndNotifiesOnce) {
  load(kEmpty);
  ASSERT_EQ(scan(), 0);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0], "scan start user=u1 cfg=c1");
  EXPECT_EQ(log.lines[1],
            "scan done walked=0 considered=0 added=0 updated=0 unchanged=0 unmatched=0 "
            "errors=0 depth_max=0");
  EXPECT_EQ(kelmcat_last_code(), 0);
  EXPECT_EQ(kel_fake_queue_calls(), 1);
  EXPECT_EQ(kelffa_fake_calls(1), 1);
}

TEST_F(Driver, UnknownBackendFailsAtOpenAndKeepsThePreviousResults) {
  load(kOne);
  kel_fake_set_matcher("a.mkv", "tt1", 0);
  ASSERT_EQ(scan(), 0);
  ASSERT_EQ(kelmcat_set_backend("nope", nullptr), 0);
  EXPECT_EQ(scan(), KELMCAT_ERR_NO_STORAGE);
  EXPECT_STREQ(kelmcat_last_error(), "kelffa_open(nope) failed: no backend 'nope'");
  EXPECT_EQ(kelmcat_result_count(), 1);
  EXPECT_EQ(stats().added, 1);
  EXPECT_EQ(kelmcat_last_code(), 0);
}

TEST_F(Driver, SecondScanStartsEmptyButWarningsStay) {
  load(R"({"name":"","children":[{"name":"A","children":[]},{"name":"A","children":[]},
    {"name":"a.mkv","size":1}]})");
  kel_fake_set_matcher("a.mkv", "tt1", 0);
  ASSERT_EQ(scan(), 0);
  load(kEmpty);
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(kelmcat_result_count(), 0);
  EXPECT_EQ(stats().walked, 0);
  EXPECT_EQ(stats().errors, 0);
  EXPECT_EQ(warnings(), std::vector<std::string>{"cycle detected at A"});
}

TEST_F(Driver, CancelBeforeTheScanCancelsEveryScanUntilShutdown) {
  load(kOne);
  kel_fake_set_matcher("a.mkv", "tt1", 0);
  ASSERT_EQ(scan(), 0);
  kelmcat_cancel();
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(scan(), KELMCAT_ERR_CANCELLED);
    EXPECT_EQ(kelmcat_result_count(), 0);  // cleared after the backend opened
    EXPECT_EQ(stats().walked, 0);
    EXPECT_EQ(kelmcat_last_code(), KELMCAT_ERR_CANCELLED);
    EXPECT_TRUE(log.has_prefix("scan ended rc=-8 (scan cancelled) walked=0"));
  }
  EXPECT_EQ(kel_fake_queue_calls(), 1);
  SetUp();  // shuts down, which clears the request
  load(kOne);
  kel_fake_set_matcher("a.mkv", "tt1", 0);
  EXPECT_EQ(scan(), 0);
}

TEST_F(Driver, FailedPreloadClosesTheBackendWithoutASummary) {
  load(kOne);
  kelmcat_set_correct_mode(1);
  kel_fake_set_corrections("[]");
  EXPECT_EQ(scan(), KELMCAT_ERR_HTTP);
  EXPECT_STREQ(kelmcat_last_error(), "Corrections response is not a JSON object");
  EXPECT_FALSE(log.has_prefix("scan ended"));
  EXPECT_EQ(kelmcat_last_code(), 0);
  // The session is closed: nothing is listed any more.
  EXPECT_NE(kelffa_list("/"), 0);

  kelmcat_set_correct_mode(0);
  kelmcat_set_add_new_only(1);
  kel_fake_set_indexed("{}");
  EXPECT_EQ(scan(), KELMCAT_ERR_HTTP);
  EXPECT_STREQ(kelmcat_last_error(), "Find response is not an array");
}

// The whole user id is kept, so a correction written after the scan lands
// under the namespace the next scan reads.
TEST_F(Driver, LongUserIdRoundTripsThroughACorrection) {
  std::string user(300, 'u');
  load(kOne);
  kel_fake_set_matcher("a.mkv", "tt1", 0);
  ASSERT_EQ(kelmcat_scan(user.c_str(), "c1"), 0);
  ASSERT_EQ(kelmcat_set_correction("a.mkv_1", "ttFIX"), 0);
  EXPECT_EQ(vault.kv.count(correction_vault_key(user, "a.mkv_1")), 1u);
  ASSERT_EQ(kelmcat_scan(user.c_str(), "c1"), 0);
  std::vector<Res> r = results();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].imdb, "ttFIX");
  EXPECT_EQ(r[0].outcome, KELMCAT_OUTCOME_UPDATED);
}

TEST_F(Driver, UserIdThatWouldCutItsVaultKeysIsRefused) {
  load(kOne);
  kel_fake_set_matcher("a.mkv", "tt1", 0);
  std::string longest(KEL_MAX_USER_ID, 'u');
  ASSERT_EQ(KEL_MAX_USER_ID, 1150u);
  ASSERT_EQ(kelmcat_scan(longest.c_str(), "c1"), 0);
  EXPECT_EQ(vault.kv.count("TALMERON_IMediaKeyVault_" + longest + "_MatchedIMDbId_" +
                           std::to_string(kelmcat_stable_hash_utf8("a.mkv_1"))),
            1u);
  std::string too_long(KEL_MAX_USER_ID + 1, 'u');
  EXPECT_EQ(kelmcat_scan(too_long.c_str(), "c1"), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "user id too long (1151 > 1150)");
}

// ---- The notification ----------------------------------------------------------

class Notify : public ScanTest {
 protected:
  HostIO io;
  void SetUp() override {
    ScanTest::SetUp();
    kelmcat_set_io(&io.table);
  }
  std::string url(const std::string &value, const std::string &password) {
    return "https://catalogue.example.net/api/AAA/SendMessageQueue?queue=mediaindexcompleted"
           "&value=" +
           value + "&password=" + password;
  }
};

TEST_F(Notify, UrlCarriesTheEscapedMessageAndCredential) {
  struct Case {
    const char *user, *credential;
    std::string value, password;
  };
  std::vector<Case> cases = {
      {"u1", "secret", "%7B%22UserId%22%3A%22u1%22%2C%22Payload%22%3A%22c1%22%7D", "secret"},
      {"a\"b\\c", "Az09-._~",
       "%7B%22UserId%22%3A%22a%5C%22b%5C%5Cc%22%2C%22Payload%22%3A%22c1%22%7D", "Az09-._~"},
      // "&" and "=" in the credential cannot add a parameter.
      {"u1", "p&queue=x y", "%7B%22UserId%22%3A%22u1%22%2C%22Payload%22%3A%22c1%22%7D",
       "p%26queue%3Dx%20y"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.credential);
    io.urls.clear();
    ASSERT_EQ(kelmcat_set_queue_credential(c.credential), 0);
    ASSERT_EQ(kelmcat_notify_scan_complete(c.user, "c1"), 0);
    ASSERT_EQ(io.urls.size(), 1u);
    EXPECT_EQ(io.urls[0], url(c.value, c.password));
    EXPECT_EQ(std::string(kelmcat_last_url()), url(c.value, "***"));
  }
}

TEST_F(Notify, ExportChecksArgumentsThenArmingThenCredential) {
  ASSERT_EQ(kelmcat_set_queue_credential(""), 0);
  ASSERT_EQ(kelmcat_arm_writes(0), 0);
  EXPECT_EQ(kelmcat_notify_scan_complete("", "c1"), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null user/config id");
  EXPECT_EQ(kelmcat_notify_scan_complete("u1", nullptr), KELMCAT_ERR_ARG);
  EXPECT_EQ(kelmcat_notify_scan_complete("u1", "c1"), KELMCAT_ERR_NOT_ARMED);
  EXPECT_STREQ(kelmcat_last_error(), "writes are not armed (call kelmcat_arm_writes(1))");
  ASSERT_EQ(kelmcat_arm_writes(1), 0);
  EXPECT_EQ(kelmcat_notify_scan_complete("u1", "c1"), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(),
               "no queue credential \xE2\x80\x94 call kelmcat_set_queue_credential()");
  EXPECT_TRUE(io.urls.empty());
  // An id that is not valid UTF-8 cannot be written as JSON.
  ASSERT_EQ(kelmcat_set_queue_credential("s"), 0);
  EXPECT_EQ(kelmcat_notify_scan_complete("\xFF", "c1"), KELMCAT_ERR_OOM);
  EXPECT_TRUE(io.urls.empty());
}

TEST_F(Notify, RequestResultIsPassedOnAndInAScanBecomesAWarning) {
  load(kEmpty);
  struct Case {
    std::function<void()> setup;
    int32_t code;
  };
  std::vector<Case> cases = {
      {[this] { io.queue_transport_failure = true; }, KELMCAT_ERR_TRANSPORT},
      {[this] { io.queue_status = 503; }, KELMCAT_ERR_MATCHER_DOWN},
      {[this] { io.queue_status = 404; }, KELMCAT_ERR_HTTP},
  };
  for (const Case &c : cases) {
    io.queue_status = 200;
    io.queue_transport_failure = false;
    c.setup();
    EXPECT_EQ(kelmcat_notify_scan_complete("u1", "c1"), c.code);
    int before = kelmcat_warning_count();
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(kelmcat_last_code(), 0);
    ASSERT_EQ(kelmcat_warning_count(), before + 1);
    EXPECT_EQ(std::string(kelmcat_warning(before)),
              std::string("scan-complete notification failed: ") + kel_errstr(c.code));
    EXPECT_EQ(log.lines.back(),
              "notify rc=" + std::to_string(c.code) + " (" + kel_errstr(c.code) + ")");
  }
  // Without a credential the scan still succeeds.
  ASSERT_EQ(kelmcat_set_queue_credential(""), 0);
  io.queue_status = 200;
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(std::string(kelmcat_warning(kelmcat_warning_count() - 1)),
            "scan-complete notification failed: invalid argument");
}

TEST_F(Driver, FakeQueueCountsNotifications) {
  EXPECT_EQ(kelmcat_notify_scan_complete("u1", "c1"), 0);
  EXPECT_EQ(kel_fake_queue_calls(), 1);
}

}  // namespace
