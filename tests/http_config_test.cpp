// Service base URLs and the built-in client's options: validation, what a
// rejection leaves, where the requests go, and what shutdown restores.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "match/http.h"
#include "scan_fixture.h"

namespace {

using scantest::HostIO;
using scantest::ScanTest;

kel_http_options options() {
  kel_http_options o;
  kel_http_options_get(&o);
  return o;
}

TEST(HttpOptions, RejectedObjectsNameTheMemberAndChangeNothing) {
  kelmcat_shutdown();
  ASSERT_EQ(kelmcat_set_http_options(R"({"timeout_ms":1234,"proxy":"http://p:1"})"), 0);
  struct Row {
    const char *json;
    const char *message;
  };
  const std::string long_agent = R"({"user_agent":")" + std::string(256, 'a') + R"("})";
  const std::vector<Row> rows = {
      {nullptr, "null http options"},
      {"[]", "http options must be one JSON object"},
      {R"({"ca_file":"/x"} 1)", "http options must be one JSON object"},
      {R"({"timeout":5})", "http options: unknown member \"timeout\""},
      {R"({"timeout_ms":"5"})", "http options: \"timeout_ms\" must be an integer"},
      {R"({"connect_timeout_ms":1.5})", "http options: \"connect_timeout_ms\" must be an integer"},
      {R"({"timeout_ms":0})", "http options: \"timeout_ms\" must be from 1 to 2147483647"},
      {R"({"timeout_ms":2147483648})", "http options: \"timeout_ms\" must be from 1 to 2147483647"},
      {R"({"max_body_bytes":-1})",
       "http options: \"max_body_bytes\" must be from 1 to 9223372036854775807"},
      {R"({"max_body_bytes":18446744073709551615})",
       "http options: \"max_body_bytes\" must be from 1 to 9223372036854775807"},
      {R"({"user_agent":5})", "http options: \"user_agent\" must be a string"},
      {R"({"proxy":null})", "http options: \"proxy\" must be a string"},
      {R"({"user_agent":"a\r\nX-Evil: 1"})",
       "http options: \"user_agent\" holds a control character"},
      {R"({"ca_file":"a\u0000b"})", "http options: \"ca_file\" holds a control character"},
      {long_agent.c_str(), "http options: \"user_agent\" longer than 255 bytes"},
      {R"({"timeout_ms":5,"timeout_ms":6})", "http options: member \"timeout_ms\" given twice"},
      {R"({"max_concurrent":0})", "http options: \"max_concurrent\" must be from 1 to 256"},
      {R"({"max_concurrent":257})", "http options: \"max_concurrent\" must be from 1 to 256"},
      {R"({"max_concurrent":true})", "http options: \"max_concurrent\" must be an integer"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.json ? r.json : "(null)");
    EXPECT_EQ(kelmcat_set_http_options(r.json), KELMCAT_ERR_ARG);
    EXPECT_STREQ(kelmcat_last_error(), r.message);
    EXPECT_EQ(options().timeout_ms, 1234);
    EXPECT_STREQ(options().proxy, "http://p:1");
  }
}

TEST(HttpOptions, EachCallReplacesAllAndShutdownRestoresTheDefaults) {
  kelmcat_shutdown();
  kel_http_options d = options();
  EXPECT_EQ(std::string(d.user_agent).rfind("kelmcat/", 0), 0u);
  EXPECT_GT(std::strlen(d.user_agent), 8u);
  EXPECT_STREQ(d.ca_file, "");
  EXPECT_STREQ(d.proxy, "");
  EXPECT_EQ(d.connect_timeout_ms, 10000);
  EXPECT_EQ(d.timeout_ms, 60000);
  EXPECT_EQ(d.max_body_bytes, 268435456);
  EXPECT_EQ(d.max_concurrent, 16);

  ASSERT_EQ(
      kelmcat_set_http_options(
          R"({"ca_file":"/etc/ca.pem","connect_timeout_ms":1,"timeout_ms":2147483647,)"
          R"j("max_body_bytes":9223372036854775807,"user_agent":"host/2 (x)","proxy":"http://p:3128",)j"
          R"("max_concurrent":256})"),
      0);
  kel_http_options o = options();
  EXPECT_STREQ(o.ca_file, "/etc/ca.pem");
  EXPECT_EQ(o.connect_timeout_ms, 1);
  EXPECT_EQ(o.timeout_ms, 2147483647);
  EXPECT_EQ(o.max_body_bytes, INT64_MAX);
  EXPECT_STREQ(o.user_agent, "host/2 (x)");
  EXPECT_STREQ(o.proxy, "http://p:3128");
  EXPECT_EQ(o.max_concurrent, 256);

  ASSERT_EQ(kelmcat_set_http_options(R"({"timeout_ms":5})"), 0);
  EXPECT_EQ(options().timeout_ms, 5);
  EXPECT_STREQ(options().proxy, "");  // left out: back to its default
  EXPECT_STREQ(options().user_agent, d.user_agent);
  EXPECT_EQ(options().max_concurrent, 16);

  ASSERT_EQ(kelmcat_set_http_options(R"({"user_agent":"x"})"), 0);
  kelmcat_shutdown();
  EXPECT_STREQ(options().user_agent, d.user_agent);
  EXPECT_EQ(options().timeout_ms, 60000);
}

class ServiceBases : public ScanTest {
 protected:
  HostIO io;
  void SetUp() override {
    ScanTest::SetUp();
    kelmcat_set_io(&io.table);
  }
};

TEST_F(ServiceBases, RejectedPairLeavesBothUnchanged) {
  ASSERT_EQ(kelmcat_set_service_bases("https://index.test", "https://cat.test"), 0);
  const std::string too_long = "https://" + std::string(248, 'c');  // 256 bytes
  const std::string longest = "https://" + std::string(247, 'c');   // 255 bytes
  struct Row {
    const char *index;
    const char *catalogue;
    std::string message;
  };
  const std::vector<Row> rows = {
      {nullptr, "https://ok", "null media-index base"},
      {"https://ok", nullptr, "null catalogue base"},
      {"http://index", "https://ok",
       "media-index base must be https:// (no http, no host-only) \xE2\x80\x94 got http://index"},
      {"https://ok", "cat.test",
       "catalogue base must be https:// (no http, no host-only) \xE2\x80\x94 got cat.test"},
      {"https://ok", too_long.c_str(), "catalogue base too long"},
      {too_long.c_str(), "https://ok", "media-index base too long"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.message);
    EXPECT_EQ(kelmcat_set_service_bases(r.index, r.catalogue), KELMCAT_ERR_ARG);
    EXPECT_EQ(kelmcat_last_error(), r.message);
    char index[KEL_BASE_SIZE], cat[KEL_BASE_SIZE];
    kel_media_index_base(index);
    kel_catalogue_base(cat);
    EXPECT_STREQ(index, "https://index.test");
    EXPECT_STREQ(cat, "https://cat.test");
  }
  EXPECT_EQ(kelmcat_set_service_bases(longest.c_str(), longest.c_str()), 0);
}

TEST_F(ServiceBases, EveryRequestGoesToTheBasesSetAndShutdownRestoresThem) {
  load(R"({"name":"","children":[{"name":"a.mkv","size":1}]})");
  ASSERT_EQ(kelmcat_set_service_bases("https://index.test/v2", "https://cat.test"), 0);
  kelmcat_set_correct_mode(1);
  kelmcat_set_add_new_only(1);
  vault.search_result = {scantest::correction_vault_key("u1", "a.mkv_1")};
  ASSERT_EQ(scan(), 0);
  const std::vector<std::string> want = {
      "https://index.test/v2/api/MediaIndex/Corrections",
      "https://index.test/v2/api/MediaIndex/Find?userId=u1&runtimeId=c1",
      "https://match.test/api/lookup?id=a.mkv&read=true&version=v2",
      "https://cat.test/api/AAA/IsMovie?imdbId=tt-a.mkv",
      "https://cat.test/api/AAA/SendMessageQueue?queue=mediaindexcompleted"
      "&value=%7B%22UserId%22%3A%22u1%22%2C%22Payload%22%3A%22c1%22%7D&password=secret",
  };
  EXPECT_EQ(io.urls, want);

  // The fake IO answers whatever bases are set.
  ASSERT_EQ(kelmcat_use_fake(), 0);
  ASSERT_EQ(kelmcat_notify_scan_complete("u1", "c1"), 0);
  EXPECT_EQ(kel_fake_queue_calls(), 1);
  EXPECT_EQ(std::string(kelmcat_last_url()).rfind("https://cat.test/api/AAA/SendMessageQueue?", 0),
            0u);

  kelmcat_shutdown();
  ASSERT_EQ(kelmcat_use_fake(), 0);
  ASSERT_EQ(kelmcat_arm_writes(1), 0);
  ASSERT_EQ(kelmcat_set_queue_credential("s"), 0);
  ASSERT_EQ(kelmcat_notify_scan_complete("u1", "c1"), 0);
  EXPECT_EQ(
      std::string(kelmcat_last_url()).rfind(KEL_CATALOGUE_BASE "/api/AAA/SendMessageQueue?", 0),
      0u);
}

TEST_F(ServiceBases, NotificationThatDoesNotFitIsRefusedNotCut) {
  const std::string base = "https://" + std::string(247, 'c');
  ASSERT_EQ(kelmcat_set_service_bases(base.c_str(), base.c_str()), 0);
  ASSERT_EQ(kelmcat_set_queue_credential(std::string(255, '&').c_str()), 0);  // 765 escaped
  EXPECT_EQ(kelmcat_notify_scan_complete("u1", "c1"), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(),
               "scan-complete notification too long: ids and credential exceed the URL buffer");
  EXPECT_TRUE(io.urls.empty());
  ASSERT_EQ(kelmcat_set_queue_credential(std::string(200, '&').c_str()), 0);
  EXPECT_EQ(kelmcat_notify_scan_complete("u1", "c1"), 0);
  ASSERT_EQ(io.urls.size(), 1u);
  std::string escaped;
  for (int i = 0; i < 200; ++i) escaped += "%26";
  EXPECT_EQ(io.urls[0].substr(io.urls[0].size() - escaped.size() - 9), "password=" + escaped);
}

}  // namespace
