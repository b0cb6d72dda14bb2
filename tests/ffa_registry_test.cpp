// Backend registry, session, result rule and last error.
#include <string>

#include "ffa_script.h"

namespace {

using script::sb;
using script::table;

class FfaRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    kelffa_reset();
    sb() = script::Backend();
  }
  void TearDown() override { kelffa_reset(); }
};

TEST_F(FfaRegistry, RegistrationChecksRunInOrder) {
  const std::string id_msg = "register: id must match [a-z0-9][a-z0-9-]{0,31}";
  struct Case {
    const char *what;
    void (*edit)(kelffa_backend &);
    int32_t code;
    std::string msg;
  };
  const Case cases[] = {
      {"small struct", [](kelffa_backend &t) { t.struct_size = 64, t.id = nullptr; },
       KELFFA_ERR_INVALID_ARG, "register: struct_size 64 < v1 size 72"},
      {"null id", [](kelffa_backend &t) { t.id = nullptr, t.open = nullptr; },
       KELFFA_ERR_INVALID_ARG, id_msg},
      {"empty id", [](kelffa_backend &t) { t.id = ""; }, KELFFA_ERR_INVALID_ARG, id_msg},
      {"33 chars", [](kelffa_backend &t) { t.id = "abcdefghijklmnopqrstuvwxyz0123456"; },
       KELFFA_ERR_INVALID_ARG, id_msg},
      {"leading dash", [](kelffa_backend &t) { t.id = "-a"; }, KELFFA_ERR_INVALID_ARG, id_msg},
      {"upper case", [](kelffa_backend &t) { t.id = "aB"; }, KELFFA_ERR_INVALID_ARG, id_msg},
      {"dot", [](kelffa_backend &t) { t.id = "a.b"; }, KELFFA_ERR_INVALID_ARG, id_msg},
      {"no open", [](kelffa_backend &t) { t.open = nullptr, t.caps = 0x40; },
       KELFFA_ERR_INVALID_ARG, "register 'x': open/list/locator/close required"},
      {"no list", [](kelffa_backend &t) { t.list = nullptr; }, KELFFA_ERR_INVALID_ARG,
       "register 'x': open/list/locator/close required"},
      {"no locator", [](kelffa_backend &t) { t.locator = nullptr; }, KELFFA_ERR_INVALID_ARG,
       "register 'x': open/list/locator/close required"},
      {"no close", [](kelffa_backend &t) { t.close = nullptr; }, KELFFA_ERR_INVALID_ARG,
       "register 'x': open/list/locator/close required"},
      {"unknown caps", [](kelffa_backend &t) { t.caps = 0x22, t.stat = nullptr; },
       KELFFA_ERR_INVALID_ARG, "register 'x': unknown capability bits 0x20"},
      {"stat cap without stat", [](kelffa_backend &t) { t.stat = nullptr; }, KELFFA_ERR_INVALID_ARG,
       "register 'x': CAP_STAT without stat()"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    kelffa_backend t = table("x");
    c.edit(t);
    EXPECT_EQ(kelffa_register(&t), c.code);
    EXPECT_EQ(kelffa_last_error(), c.msg);
    EXPECT_EQ(kelffa_last_code(), c.code);
    EXPECT_EQ(kelffa_backend_count(), 0);
  }
  EXPECT_EQ(kelffa_register(nullptr), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "register: NULL backend");

  for (const char *id : {"a", "abcdefghijklmnopqrstuvwxyz012345", "ends-", "9-x"}) {
    kelffa_backend t = table(id);
    EXPECT_EQ(kelffa_register(&t), KELFFA_OK) << id;
  }
  EXPECT_EQ(kelffa_backend_count(), 4);
  EXPECT_STREQ(kelffa_last_error(), "");
}

TEST_F(FfaRegistry, StoresItsOwnCopyOfTheTable) {
  // A larger table is read up to the known size; the id is copied.
  struct Bigger {
    kelffa_backend v1;
    uint64_t extra;
  } big;
  big.v1 = table("big", 0x1D);
  big.v1.struct_size = sizeof big;
  big.extra = 0xDEADBEEF;
  char id[] = "big";
  big.v1.id = id;
  ASSERT_EQ(kelffa_register(&big.v1), KELFFA_OK);
  id[0] = 'X';
  big.v1.open = nullptr;  // the host's table is no longer referenced
  EXPECT_STREQ(kelffa_backend_id(0), "big");
  EXPECT_EQ(kelffa_backend_caps(0), 0x1D);
  const kelffa_backend *stored = kelffa__find("big");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->struct_size, 72u);
  EXPECT_NE(stored->id, id);
  EXPECT_EQ(stored->stat, nullptr);  // CAP_STAT is clear
  EXPECT_EQ(kelffa__find("BIG"), nullptr);
  EXPECT_EQ(kelffa__find(nullptr), nullptr);
  EXPECT_EQ(kelffa_open("big", nullptr), KELFFA_OK);

  EXPECT_STREQ(kelffa_backend_id(-1), "");
  EXPECT_STREQ(kelffa_backend_id(1), "");
  EXPECT_EQ(kelffa_backend_caps(-1), -1);
  EXPECT_EQ(kelffa_backend_caps(1), -1);
}

TEST_F(FfaRegistry, DuplicatesAreReportedBeforeFullness) {
  for (int i = 0; i < 64; ++i) {
    std::string id = "b" + std::to_string(i);
    kelffa_backend t = table(id.c_str());
    ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  }
  kelffa_backend dup = table("b7");
  EXPECT_EQ(kelffa_register(&dup), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "register: id 'b7' already registered");
  kelffa_backend extra = table("new");
  EXPECT_EQ(kelffa_register(&extra), KELFFA_ERR_OOM);
  EXPECT_STREQ(kelffa_last_error(), "register: registry full (64)");
  EXPECT_EQ(kelffa__unregister("b7"), KELFFA_OK);
  EXPECT_EQ(kelffa_backend_count(), 63);
  EXPECT_STREQ(kelffa_backend_id(7), "b8");  // order kept without gaps
  EXPECT_EQ(kelffa_register(&dup), KELFFA_OK);
  EXPECT_STREQ(kelffa_backend_id(63), "b7");
  EXPECT_EQ(kelffa__unregister("nope"), KELFFA_ERR_NO_BACKEND);
  EXPECT_EQ(kelffa__unregister(nullptr), KELFFA_ERR_NO_BACKEND);
  kelffa_reset();
  EXPECT_EQ(kelffa_backend_count(), 0);
}

TEST_F(FfaRegistry, OpenChecksIdAndConfigurationAndAlwaysClosesFirst) {
  kelffa_backend t = table("s");
  ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  EXPECT_EQ(sb().last_config, "{}");
  struct Case {
    const char *id;
    const char *config;
    int32_t code;
    const char *msg;
  } cases[] = {
      {nullptr, "{}", KELFFA_ERR_NO_BACKEND, "no backend '(null)'"},
      {"other", "{}", KELFFA_ERR_NO_BACKEND, "no backend 'other'"},
      {"s", "[]", KELFFA_ERR_BAD_CONFIG, "config must be a JSON object"},
      {"s", "{", KELFFA_ERR_BAD_CONFIG, "config must be a JSON object"},
      {"s", "{} x", KELFFA_ERR_BAD_CONFIG, "config must be a JSON object"},
      {"s", "{/*c*/}", KELFFA_ERR_BAD_CONFIG, "config must be a JSON object"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.msg);
    ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
    int closes = sb().close_calls, opens = sb().open_calls;
    EXPECT_EQ(kelffa_open(c.id, c.config), c.code);
    EXPECT_STREQ(kelffa_last_error(), c.msg);
    EXPECT_EQ(sb().close_calls, closes + 1);  // the old session ended anyway
    EXPECT_EQ(sb().open_calls, opens);        // the backend was not asked
    EXPECT_EQ(kelffa__session(), nullptr);
  }
  ASSERT_EQ(kelffa_open("s", "{\"a\":[1]}"), KELFFA_OK);
  EXPECT_EQ(sb().last_config, "{\"a\":[1]}");
  EXPECT_STREQ(kelffa_last_error(), "");
  kelffa_close();
  kelffa_close();  // closing twice calls close once
  EXPECT_EQ(kelffa__session(), nullptr);
}

TEST_F(FfaRegistry, ResultRuleForBackendCodes) {
  kelffa_backend t = table("s");
  ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  struct Case {
    int32_t rc;
    bool own;  // the backend records its own message first
    int32_t code;
    const char *msg;
  } cases[] = {
      {-1, false, KELFFA_ERR_TRANSPORT, "backend open returned out-of-taxonomy code -1"},
      {11, true, KELFFA_ERR_TRANSPORT, "backend open returned out-of-taxonomy code 11"},
      {3, false, KELFFA_ERR_NOT_FOUND, "open 's': not_found"},
      {3, true, KELFFA_ERR_NOT_FOUND, "backend says: no such share"},
      {7, false, KELFFA_ERR_CANCELLED, "open 's': cancelled"},
      {10, false, KELFFA_ERR_OOM, "open 's': oom"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.msg);
    sb().open = [&c](const char *) {
      if (c.own) kelffa__fail(c.rc, "backend says: no such share");
      return c.rc;
    };
    EXPECT_EQ(kelffa_open("s", nullptr), c.code);
    EXPECT_STREQ(kelffa_last_error(), c.msg);
    EXPECT_EQ(kelffa_last_code(), c.code);
    EXPECT_EQ(kelffa__session(), nullptr);
  }
  // The backend recorded a message with another code: the layer's own applies.
  sb().open = [](const char *) {
    return kelffa__fail(KELFFA_ERR_ACCESS, "x"), KELFFA_ERR_NOT_FOUND;
  };
  EXPECT_EQ(kelffa_open("s", nullptr), KELFFA_ERR_NOT_FOUND);
  EXPECT_STREQ(kelffa_last_error(), "open 's': not_found");
}

TEST_F(FfaRegistry, StaleMessageWithTheSameCodeIsNotTakenAsTheBackends) {
  // A failed listing leaves a not_found message; a later open that fails with
  // the same code, recording nothing itself, must report its own message.
  kelffa_backend t = table("s");
  ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  sb().list = [](const char *, kelffa_page *) { return KELFFA_ERR_NOT_FOUND; };
  EXPECT_EQ(kelffa_list("/gone"), KELFFA_ERR_NOT_FOUND);
  EXPECT_STREQ(kelffa_last_error(), "list '/gone': not_found");
  sb().open = [](const char *) { return KELFFA_ERR_NOT_FOUND; };
  EXPECT_EQ(kelffa_open("s", nullptr), KELFFA_ERR_NOT_FOUND);
  EXPECT_STREQ(kelffa_last_error(), "open 's': not_found");

  // Same for stat and locator after an unrelated failure with their code.
  sb().open = nullptr;
  ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  kelffa__fail(KELFFA_ERR_ACCESS, "left by someone else");
  sb().stat = [](const char *, kelffa_item *) { return KELFFA_ERR_ACCESS; };
  EXPECT_EQ(kelffa_get("/p", nullptr), KELFFA_ERR_ACCESS);
  EXPECT_STREQ(kelffa_last_error(), "stat '/p': access");
  sb().locator = [](const char *, char *, uint64_t) { return KELFFA_ERR_ACCESS; };
  EXPECT_EQ(kelffa_locator("/p"), nullptr);
  EXPECT_STREQ(kelffa_last_error(), "locator '/p': access");
}

TEST_F(FfaRegistry, UnregisterKeepsTheSessionOnItsBackend) {
  kelffa_backend a = table("a"), s = table("s"), c = table("c");
  ASSERT_EQ(kelffa_register(&a), KELFFA_OK);
  ASSERT_EQ(kelffa_register(&s), KELFFA_OK);
  ASSERT_EQ(kelffa_register(&c), KELFFA_OK);
  ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  sb().entries = script::numbered(2);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa__unregister("a"), KELFFA_OK);  // before the open one
  EXPECT_EQ(kelffa__unregister("c"), KELFFA_OK);  // after it
  ASSERT_NE(kelffa__session(), nullptr);
  EXPECT_STREQ(kelffa__session()->id, "s");
  EXPECT_EQ(kelffa_count(), 2);  // the listing survives
  EXPECT_EQ(sb().close_calls, 0);
  EXPECT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa__unregister("s"), KELFFA_OK);  // the open one: closed first
  EXPECT_EQ(sb().close_calls, 1);
  EXPECT_EQ(kelffa__session(), nullptr);
  EXPECT_EQ(kelffa_count(), 0);
  EXPECT_EQ(kelffa_backend_count(), 0);
}

TEST_F(FfaRegistry, ResetReturnsToLoadState) {
  kelffa_backend t = table("s");
  ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  ASSERT_EQ(kelffa_set_page_size(3), KELFFA_OK);
  sb().entries = script::numbered(5);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_get("/m", nullptr), KELFFA_OK);
  kelffa__fail(KELFFA_ERR_ACCESS, "x");
  kelffa_cancel();
  kelffa_reset();
  EXPECT_EQ(sb().close_calls, 1);
  EXPECT_EQ(kelffa_backend_count(), 0);
  EXPECT_EQ(kelffa_count(), 0);
  EXPECT_EQ(kelffa_got(), nullptr);
  EXPECT_STREQ(kelffa_last_error(), "");
  EXPECT_EQ(kelffa_last_code(), 0);
  EXPECT_EQ(kelffa__cancelled(), 1);  // the cancel flag is left as it is
  kelffa__cancel_clear();
  ASSERT_EQ(kelffa_register(&t), KELFFA_OK);
  ASSERT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  sb().entries = script::numbered(300);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 256);  // page size back to 256
}

TEST(FfaCodes, NamesAndVersion) {
  const char *names[] = {"ok",         "no_backend",  "not_open",    "not_found",
                         "access",     "transport",   "unsupported", "cancelled",
                         "bad_config", "invalid_arg", "oom"};
  for (int i = 0; i <= 10; ++i) {
    EXPECT_STREQ(kelffa_strerror(i), names[i]);
    EXPECT_STREQ(kelffa_strerror(-i), names[i]);
  }
  EXPECT_STREQ(kelffa_strerror(11), "unknown");
  EXPECT_STREQ(kelffa_strerror(-11), "unknown");
  EXPECT_STREQ(kelffa_strerror(INT32_MIN), "unknown");
  EXPECT_STREQ(kelffa_version(), "1.0.0");
}

TEST(FfaCodes, LastErrorIsCutOnACharacterBoundary) {
  std::string euro;
  for (int i = 0; i < 400; ++i) euro += "\xE2\x82\xAC";  // 1200 bytes
  EXPECT_EQ(kelffa__fail(4, "ab%s", euro.c_str()), 4);
  std::string got = kelffa_last_error();
  EXPECT_EQ(got.size(), 1022u);  // "ab" and 340 whole characters
  EXPECT_EQ(kelffa__utf8_valid(got.c_str()), 1);
  // A message built from the current one.
  kelffa__fail(5, "again: %s", kelffa_last_error());
  EXPECT_EQ(std::string(kelffa_last_error()).rfind("again: ab\xE2\x82\xAC", 0), 0u);
  kelffa__clear_error();
  EXPECT_STREQ(kelffa_last_error(), "");
  EXPECT_EQ(kelffa_last_code(), 0);
}

}  // namespace
