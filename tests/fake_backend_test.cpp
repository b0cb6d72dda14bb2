// The fake tree backend as the folder-access layer sees it: paging with the
// configured page limit, capability switches, fault injection per operation,
// call counters, locators, and the categorizer's entry points onto the fakes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/core_internal.h"
#include "ffa/ffa_internal.h"
#include "kelmcat.h"

namespace {

// Root with /Movies (five files, the first with every optional field) and /ten.
const char *kTree = R"({"name":"","children":[
    {"name":"Movies","children":[
      {"name":"a.mkv","size":1,"mtime_ms":2,"title":"A","year":2001,"id":"id-a"},
      {"name":"b.mkv"},{"name":"c.mkv"},{"name":"d.mkv"},{"name":"e.mkv"}]},
    {"name":"abcdef"}],
  "generate":[{"path":"/ten","count":10}]})";

class FakeBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    kelffa_reset();
    kelffa_fake_set_fault(0, 0);
    ASSERT_EQ(kelffa_fake_set_caps(0x0F), KELFFA_OK);
    ASSERT_EQ(kelffa_fake_register(), KELFFA_OK);
    ASSERT_EQ(kelffa_fake_load_tree(kTree), KELFFA_OK) << kelffa_last_error();
  }
  void TearDown() override {
    kelffa_reset();
    kelffa_fake_set_fault(0, 0);
    kelffa_fake_set_caps(0x0F);
  }
  static void Open(const char *config = nullptr) {
    ASSERT_EQ(kelffa_open("fake", config), KELFFA_OK) << kelffa_last_error();
  }
  // The registered table, for calls the layer would not pass through.
  static const kelffa_backend *Table() { return kelffa__find("fake"); }
};

TEST_F(FakeBackend, PagesFollowThePageLimit) {
  Open(R"({"page_size":2,"other":"ignored"})");
  ASSERT_EQ(kelffa_list("/Movies"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 2);
  EXPECT_EQ(kelffa_list_next(), 1);
  EXPECT_EQ(kelffa_count(), 4);
  EXPECT_EQ(kelffa_list_next(), 0);
  EXPECT_EQ(kelffa_count(), 5);
  EXPECT_EQ(kelffa_more(), 0);
  EXPECT_EQ(kelffa_fake_calls(2), 3);
  EXPECT_EQ(kelffa_fake_calls(3), 2);
  // The layer's smaller page size wins over the fake's own limit.
  ASSERT_EQ(kelffa_set_page_size(1), KELFFA_OK);
  ASSERT_EQ(kelffa_list_all("/Movies"), KELFFA_OK);
  EXPECT_EQ(kelffa_fake_calls(2), 3 + 5);
  // Without a limit one call takes the whole folder; an empty folder takes one.
  ASSERT_EQ(kelffa_set_page_size(256), KELFFA_OK);
  Open("{}");
  ASSERT_EQ(kelffa_list_all("/ten"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 10);
  EXPECT_EQ(kelffa_fake_calls(2), 9);
}

TEST_F(FakeBackend, BadPageSizeFailsOpen) {
  for (const char *cfg : {R"({"page_size":0})", R"({"page_size":-1})", R"({"page_size":2.5})",
                          R"({"page_size":"2"})", R"({"page_size":null,"page_size":2})"}) {
    EXPECT_EQ(kelffa_open("fake", cfg), KELFFA_ERR_BAD_CONFIG) << cfg;
    EXPECT_STREQ(kelffa_last_error(), "open 'fake': bad_config");
    EXPECT_EQ(kelffa_list("/"), KELFFA_ERR_NOT_OPEN);
  }
  Open(R"({"page_size":18446744073709551615})");
  EXPECT_EQ(kelffa_list_all("/ten"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 10);
}

TEST_F(FakeBackend, Cursors) {
  Open();
  const kelffa_backend *t = Table();
  ASSERT_NE(t, nullptr);
  kelffa_item items[8 + 16];
  struct Case {
    const char *cursor;
    int32_t code;
    uint64_t count;
    int32_t more;
  } cases[] = {
      {nullptr, 0, 5, 0},
      {"", 0, 5, 0},
      {"0", 0, 5, 0},
      {"000", 0, 5, 0},
      {"3", 0, 2, 0},
      {"5", 0, 0, 0},
      {"6", 9, 0, 0},
      {"-1", 9, 0, 0},
      {"+1", 9, 0, 0},
      {"1 ", 9, 0, 0},
      {" 1", 9, 0, 0},
      {"x", 9, 0, 0},
      {"18446744073709551615", 9, 0, 0},
      {"18446744073709551519", 9, 0, 0},
      {"184467440737095516150", 9, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.cursor ? c.cursor : "(null)");
    for (kelffa_item &it : items) kelffa__item_fresh(&it);
    kelffa_page page{};
    page.struct_size = 64;
    page.cursor = c.cursor;
    page.items = items;
    page.cap = 8;
    page.cancel = kelffa__cancel_flag();
    EXPECT_EQ(t->list(t->ctx, "/Movies", &page), c.code);
    if (c.code == 0) {
      EXPECT_EQ(page.count, c.count);
      EXPECT_EQ(page.more, c.more);
      EXPECT_EQ(page.next_cursor, nullptr);
      if (c.count == 2) {
        EXPECT_STREQ(items[0].name, "d.mkv");
      }
    }
  }
  // Only cursors read as a value above 0 count as continuation pages.
  EXPECT_EQ(kelffa_fake_calls(2), 15);
  EXPECT_EQ(kelffa_fake_calls(3), 4);
  // A continuation cursor is the index of the next child.
  for (kelffa_item &it : items) kelffa__item_fresh(&it);
  kelffa_page page{};
  page.struct_size = 64;
  page.cursor = "1";
  page.items = items;
  page.cap = 2;
  ASSERT_EQ(t->list(t->ctx, "/Movies", &page), 0);
  EXPECT_EQ(page.more, 1);
  EXPECT_STREQ(page.next_cursor, "3");
  EXPECT_STREQ(items[1].path, "/Movies/c.mkv");
}

TEST_F(FakeBackend, FaultOnEveryOperation) {
  // Each op's fault is returned by that operation, every time, until disarmed.
  struct Case {
    int32_t op;
    int32_t code;
    int32_t got;  // what the layer reports
    const char *message;
  } cases[] = {
      {1, KELFFA_ERR_ACCESS, 4, "open 'fake': access"},
      {1, 99, 5, "backend open returned out-of-taxonomy code 99"},
      {2, KELFFA_ERR_NOT_FOUND, 3, "list '/Movies': not_found"},
      {2, -1, 5, "backend list returned out-of-taxonomy code -1"},
      {3, KELFFA_ERR_TRANSPORT, 5, "list '/Movies': transport"},
      {4, KELFFA_ERR_ACCESS, 4, "stat '/Movies/a.mkv': access"},
      {4, 11, 5, "backend stat returned out-of-taxonomy code 11"},
      {5, KELFFA_ERR_UNSUPPORTED, 6, "locator '/Movies/a.mkv': unsupported"},
  };
  auto run = [](int32_t op) -> int32_t {
    switch (op) {
      case 1:
        return kelffa_open("fake", nullptr);
      case 2:
        return kelffa_list("/Movies");
      case 3:
        EXPECT_EQ(kelffa_list("/Movies"), KELFFA_OK);
        return kelffa_list_next() < 0 ? kelffa_last_code() : 0;
      case 4:
        return kelffa_get("/Movies/a.mkv", nullptr);
      default:
        return kelffa_locator("/Movies/a.mkv") ? 0 : kelffa_last_code();
    }
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "op " << c.op << " code " << c.code);
    kelffa_fake_set_fault(0, 0);
    Open(R"({"page_size":2})");
    ASSERT_EQ(kelffa_fake_set_fault(c.op, c.code), KELFFA_OK);
    for (int round = 0; round < 2; ++round) {
      EXPECT_EQ(run(c.op), c.got);
      EXPECT_EQ(kelffa_last_code(), c.got);
      EXPECT_STREQ(kelffa_last_error(), c.message);
    }
    EXPECT_EQ(kelffa_fake_calls(c.op), c.op == 1 ? 3 : 2);
    ASSERT_EQ(kelffa_fake_set_fault(c.op, 0), KELFFA_OK);
    if (c.op == 1) Open();
    EXPECT_EQ(run(c.op), 0) << kelffa_last_error();
  }
  // Reset clears every fault and counter.
  kelffa_fake_set_fault(4, KELFFA_ERR_ACCESS);
  kelffa_fake_set_fault(0, 12345);
  EXPECT_EQ(kelffa_get("/Movies", nullptr), KELFFA_OK);
  for (int32_t op = 1; op <= 6; ++op) EXPECT_EQ(kelffa_fake_calls(op), op == 4 ? 1 : 0) << op;
}

TEST_F(FakeBackend, CancelTrigger) {
  Open();
  ASSERT_EQ(kelffa_fake_set_fault(6, 3), KELFFA_OK);
  EXPECT_EQ(kelffa_list("/ten"), KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled (backend)");
  EXPECT_EQ(kelffa_count(), 0);
  EXPECT_EQ(kelffa__cancelled(), 1);
  EXPECT_EQ(kelffa_fake_calls(6), 0);
  // The trigger disarmed itself; the next listing clears the flag.
  EXPECT_EQ(kelffa_list_all("/ten"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 10);

  // A trigger beyond the page size never fires and stays armed.
  Open(R"({"page_size":2})");
  ASSERT_EQ(kelffa_fake_set_fault(6, 2), KELFFA_OK);
  EXPECT_EQ(kelffa_list_all("/ten"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 10);
  Open(R"({"page_size":4})");
  EXPECT_EQ(kelffa_list("/ten"), KELFFA_ERR_CANCELLED);

  // A cancellation raised before the backend is called is seen by the layer.
  Open();
  ASSERT_EQ(kelffa_list("/Movies"), KELFFA_OK);
  kelffa_cancel();
  const kelffa_backend *t = Table();
  kelffa_item items[4 + 16];
  for (kelffa_item &it : items) kelffa__item_fresh(&it);
  kelffa_page page{};
  page.struct_size = 64;
  page.items = items;
  page.cap = 4;
  page.cancel = kelffa__cancel_flag();
  EXPECT_EQ(t->list(t->ctx, "/Movies", &page), KELFFA_ERR_CANCELLED);
  EXPECT_EQ(page.count, 0u);
  kelffa__cancel_clear();
}

TEST_F(FakeBackend, Capabilities) {
  Open();
  struct Case {
    uint32_t caps;
    int32_t fields;
  } cases[] = {
      {0x0F, int32_t(F_SIZE | F_MTIME | F_TITLE | F_YEAR | F_ID)},
      {0x03, int32_t(F_SIZE | F_MTIME)},
      {0x0B, int32_t(F_SIZE | F_MTIME | F_ID)},
      {0x07, int32_t(F_SIZE | F_MTIME | F_TITLE | F_YEAR)},
      {0x1F, int32_t(F_SIZE | F_MTIME | F_TITLE | F_YEAR | F_ID)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.caps);
    ASSERT_EQ(kelffa_fake_set_caps(c.caps), KELFFA_OK);
    EXPECT_EQ(kelffa_backend_caps(0), int32_t(c.caps));
    // Re-registering closed the session.
    EXPECT_EQ(kelffa_list("/Movies"), KELFFA_ERR_NOT_OPEN);
    Open();
    ASSERT_EQ(kelffa_list("/Movies"), KELFFA_OK);
    EXPECT_EQ(kelffa_item_fields(kelffa_item_at(0)), c.fields);
    ASSERT_EQ(kelffa_get("/Movies/a.mkv", nullptr), KELFFA_OK);
    EXPECT_EQ(kelffa_item_fields(kelffa_got()), c.fields);
  }
  // Without CAP_STAT the layer refuses before the fake is called.
  ASSERT_EQ(kelffa_fake_set_caps(0x01), KELFFA_OK);
  Open();
  EXPECT_EQ(kelffa_get("/Movies", nullptr), KELFFA_ERR_UNSUPPORTED);
  EXPECT_STREQ(kelffa_last_error(), "backend 'fake' cannot stat");
  EXPECT_EQ(kelffa_fake_calls(4), 5);

  EXPECT_EQ(kelffa_fake_set_caps(0x20), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "unknown capability bits");
  EXPECT_EQ(kelffa_backend_caps(0), 0x01);
  // Unregistered, the bits apply from the next registration on.
  kelffa_reset();
  EXPECT_EQ(kelffa_fake_set_caps(0x0E), KELFFA_OK);
  EXPECT_EQ(kelffa_backend_count(), 0);
  ASSERT_EQ(kelffa_fake_register(), KELFFA_OK);
  EXPECT_EQ(kelffa_backend_caps(0), 0x0E);
}

TEST_F(FakeBackend, StatAndLocator) {
  Open();
  ASSERT_EQ(kelffa_get("/", nullptr), KELFFA_OK);
  EXPECT_EQ(kelffa_item_is_folder(kelffa_got()), 1);
  EXPECT_STREQ(kelffa_item_name(kelffa_got()), "");
  ASSERT_EQ(kelffa_get("/Movies/a.mkv", nullptr), KELFFA_OK);
  const kelffa_item *a = kelffa_got();
  EXPECT_STREQ(kelffa_item_title(a), "A");
  EXPECT_STREQ(kelffa_item_backend_id(a), "id-a");
  EXPECT_STREQ(kelffa_item_locator(a), "");
  EXPECT_EQ(kelffa_get("/nope", nullptr), KELFFA_ERR_NOT_FOUND);
  EXPECT_EQ(kelffa_fake_calls(4), 3);

  const char *loc = kelffa_locator("/Movies/a.mkv");
  ASSERT_NE(loc, nullptr);
  EXPECT_STREQ(loc, "fake:///Movies/a.mkv");
  struct Case {
    const char *path;
    int32_t code;
  } refused[] = {{"/Movies", KELFFA_ERR_INVALID_ARG},
                 {"/", KELFFA_ERR_INVALID_ARG},
                 {"/nope", KELFFA_ERR_NOT_FOUND}};
  for (const Case &c : refused) {
    EXPECT_EQ(kelffa_locator(c.path), nullptr) << c.path;
    EXPECT_EQ(kelffa_last_code(), c.code) << c.path;
  }
  EXPECT_EQ(kelffa_fake_calls(5), 4);

  // The buffer must hold "fake://", the 7-byte path and the terminator.
  const kelffa_backend *t = Table();
  char buf[32];
  EXPECT_EQ(t->locator(t->ctx, "/abcdef", buf, 14), KELFFA_ERR_INVALID_ARG);
  ASSERT_EQ(t->locator(t->ctx, "/abcdef", buf, 15), KELFFA_OK);
  EXPECT_STREQ(buf, "fake:///abcdef");
  EXPECT_EQ(t->locator(t->ctx, nullptr, buf, 32), KELFFA_ERR_INVALID_ARG);
  EXPECT_EQ(t->locator(t->ctx, "/abcdef", nullptr, 32), KELFFA_ERR_INVALID_ARG);
}

TEST_F(FakeBackend, OperationsWithoutSession) {
  // The session check, and list's page and cursor checks, come before an armed fault.
  for (int32_t op = 2; op <= 5; ++op) ASSERT_EQ(kelffa_fake_set_fault(op, KELFFA_ERR_ACCESS), 0);
  const kelffa_backend *t = Table();
  kelffa_item items[1 + 16];
  for (kelffa_item &it : items) kelffa__item_fresh(&it);
  kelffa_page page{};
  page.items = items;
  page.cap = 1;
  char buf[64];
  EXPECT_EQ(t->list(t->ctx, "/", &page), KELFFA_ERR_NOT_OPEN);
  EXPECT_EQ(t->stat(t->ctx, "/", &items[0]), KELFFA_ERR_NOT_OPEN);
  EXPECT_EQ(t->locator(t->ctx, "/abcdef", buf, sizeof buf), KELFFA_ERR_NOT_OPEN);
  Open();
  kelffa_close();
  EXPECT_EQ(t->list(t->ctx, "/", &page), KELFFA_ERR_NOT_OPEN);
  for (int32_t op = 2; op <= 5; ++op)
    EXPECT_EQ(kelffa_fake_calls(op), op == 2 ? 2 : op == 3 ? 0 : 1);
  // Bad page arguments are refused once a session is open.
  Open();
  kelffa_page empty{};
  EXPECT_EQ(t->list(t->ctx, "/", nullptr), KELFFA_ERR_INVALID_ARG);
  EXPECT_EQ(t->list(t->ctx, "/", &empty), KELFFA_ERR_INVALID_ARG);
  EXPECT_EQ(t->list(t->ctx, nullptr, &page), KELFFA_ERR_INVALID_ARG);
  page.cap = 0;
  EXPECT_EQ(t->list(t->ctx, "/", &page), KELFFA_ERR_INVALID_ARG);
  page.cap = 1;
  page.cursor = "1x";
  EXPECT_EQ(t->list(t->ctx, "/", &page), KELFFA_ERR_INVALID_ARG);
  EXPECT_EQ(kelffa_fake_calls(3), 0);
  // The fault comes before the arguments of stat and locator and before any lookup.
  page.cursor = nullptr;
  EXPECT_EQ(t->list(t->ctx, "/nope", &page), KELFFA_ERR_ACCESS);
  EXPECT_EQ(t->stat(t->ctx, nullptr, nullptr), KELFFA_ERR_ACCESS);
  EXPECT_EQ(t->locator(t->ctx, "/nope", nullptr, 0), KELFFA_ERR_ACCESS);
}

TEST_F(FakeBackend, OpenWithoutTreeServesTheSmallestTree) {
  EXPECT_EQ(kelffa_fake_load_tree("[]"), KELFFA_ERR_BAD_CONFIG);
  Open();
  EXPECT_EQ(kelffa_list_all("/"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 0);
  ASSERT_EQ(kelffa_get("/", nullptr), KELFFA_OK);
  EXPECT_EQ(kelffa_item_is_folder(kelffa_got()), 1);
  // A tree replaced while the session is open is served at once.
  ASSERT_EQ(kelffa_fake_load_tree(kTree), KELFFA_OK);
  EXPECT_EQ(kelffa_list_all("/Movies"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 5);
}

TEST_F(FakeBackend, FaultOpsAndCounterLifetime) {
  EXPECT_EQ(kelffa_fake_set_fault(7, 1), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "unknown fault op 7");
  EXPECT_EQ(kelffa_fake_set_fault(-1, 1), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "unknown fault op -1");
  for (int32_t op : {0, 7, -1}) EXPECT_EQ(kelffa_fake_calls(op), -1) << op;
  EXPECT_EQ(kelffa_fake_calls(6), 0);
  // Counters survive close, registration, tree loads, the layer's reset and shutdown.
  Open();
  kelffa_close();
  kelffa_fake_register();
  kelffa_fake_load_tree(kTree);
  kelffa_reset();
  kelmcat_shutdown();
  kelffa_fake_register();
  Open();
  EXPECT_EQ(kelffa_fake_calls(1), 2);
  // So does the tree.
  ASSERT_EQ(kelffa_list_all("/Movies"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 5);
}

TEST_F(FakeBackend, CategorizerLoadTree) {
  kelmcat_shutdown();
  EXPECT_EQ(kelmcat_fake_load_tree(nullptr), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null tree json");
  EXPECT_EQ(kelmcat_fake_load_tree(""), KELMCAT_ERR_ARG);
  EXPECT_EQ(kelmcat_fake_load_tree("not json"), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "kelffa_fake_load_tree failed: fake tree: not JSON");
  EXPECT_EQ(kelmcat_fake_load_tree(R"({"name":"","generate":[{"path":"/x/y","count":1}]})"),
            KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(),
               "kelffa_fake_load_tree failed: fake generate: parent of '/x/y' missing");
  // Success registers the fake, closes its open session, and keeps the last error.
  Open();
  EXPECT_EQ(kelmcat_fake_load_tree(kTree), KELMCAT_OK);
  EXPECT_STREQ(kelmcat_last_error(),
               "kelffa_fake_load_tree failed: fake generate: parent of '/x/y' missing");
  EXPECT_EQ(kelffa_list("/"), KELFFA_ERR_NOT_OPEN);
  EXPECT_STREQ(kelffa_backend_id(0), "fake");
  EXPECT_EQ(kelffa_backend_count(), 1);
  Open();
  EXPECT_EQ(kelffa_list_all("/Movies"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 5);
  kelmcat_shutdown();
}

// Fills the registry so that registering the fake fails.
int32_t Noop(void *, const char *) {
  return 0;
}
int32_t NoopList(void *, const char *, kelffa_page *) {
  return 0;
}
int32_t NoopLocator(void *, const char *, char *, uint64_t) {
  return 0;
}
void NoopClose(void *) {}

void FillRegistry() {
  kelffa_reset();
  for (int i = 0; i < 64; ++i) {
    std::string id = "b" + std::to_string(i);
    kelffa_backend b{};
    b.struct_size = 72;
    b.id = id.c_str();
    b.open = Noop;
    b.list = NoopList;
    b.locator = NoopLocator;
    b.close = NoopClose;
    ASSERT_EQ(kelffa_register(&b), KELFFA_OK) << kelffa_last_error();
  }
}

TEST_F(FakeBackend, UseFake) {
  kelmcat_shutdown();
  FillRegistry();
  EXPECT_EQ(kelmcat_use_fake(), KELMCAT_ERR_NO_STORAGE);
  EXPECT_STREQ(kelmcat_last_error(), "kelffa_fake_register failed: register: registry full (64)");
  EXPECT_EQ(kelmcat_fake_load_tree(kTree), KELMCAT_ERR_NO_STORAGE);
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    EXPECT_EQ(g_st.io_kind, -1);
  }
  kelffa_reset();
  EXPECT_EQ(kelmcat_use_fake(), KELMCAT_OK);
  EXPECT_NE(kelffa__find("fake"), nullptr);
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    EXPECT_EQ(g_st.io_kind, 1);
  }
  kelmcat_shutdown();
}

}  // namespace
