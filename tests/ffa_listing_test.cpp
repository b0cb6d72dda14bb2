// Paged listing: paging, contract breaches of backends, rejected entries,
// cancellation (also from a second thread) and page sizes.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ffa_script.h"

namespace {

using script::sb;

class FfaListing : public script::Fixture {};

int32_t read_flag(const kelffa_page *pg) {
  return __atomic_load_n(pg->cancel, __ATOMIC_RELAXED);
}

TEST_F(FfaListing, PagesAccumulateWithStableIndices) {
  sb().entries = script::numbered(3);
  ASSERT_EQ(kelffa_set_page_size(1), KELFFA_OK);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 1);
  EXPECT_EQ(kelffa_more(), 1);
  const kelffa_item *first = kelffa_item_at(0);
  EXPECT_STREQ(kelffa_item_name(first), "e0");
  EXPECT_EQ(kelffa_list_next(), 1);
  EXPECT_EQ(kelffa_count(), 2);
  EXPECT_EQ(kelffa_list_next(), 0);
  EXPECT_EQ(kelffa_count(), 3);
  EXPECT_EQ(kelffa_more(), 0);
  EXPECT_EQ(kelffa_list_next(), 0);
  EXPECT_EQ(sb().list_calls, 3);  // the last call did not reach the backend
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(kelffa_item_path(kelffa_item_at(i)), "/m/e" + std::to_string(i));
  EXPECT_EQ(kelffa_item_at(-1), nullptr);
  EXPECT_EQ(kelffa_item_at(3), nullptr);
  EXPECT_EQ(sb().cursors, (std::vector<std::string>{"(null)", "1", "2"}));
  EXPECT_EQ(sb().last_folder, "/m");
  // Each stored entry is a fresh v1 record owning its strings.
  EXPECT_EQ(kelffa_item_at(2)->struct_size, 72u);
  EXPECT_NE(kelffa_item_at(2)->name, sb().entries[2].name.c_str());
}

TEST_F(FfaListing, ListAllFetchesEveryPage) {
  sb().entries = script::numbered(600);
  EXPECT_EQ(kelffa_list_all("/m"), KELFFA_OK);
  EXPECT_EQ(sb().list_calls, 3);
  EXPECT_EQ(kelffa_count(), 600);
  EXPECT_EQ(kelffa_more(), 0);
  EXPECT_STREQ(kelffa_item_name(kelffa_item_at(599)), "e599");
  // A failure on a later page is returned as a positive code.
  sb().list = [](const char *f, kelffa_page *pg) {
    return pg->cursor ? KELFFA_ERR_ACCESS : script::serve(f, pg);
  };
  EXPECT_EQ(kelffa_list_all("/m"), KELFFA_ERR_ACCESS);
  EXPECT_EQ(kelffa_count(), 256);
  EXPECT_STREQ(kelffa_last_error(), "list '/m': access");
}

// A backend that breaks the page contract, or fails, on the second page.
struct Misbehaviour {
  const char *what;
  int32_t (*list)(const char *, kelffa_page *);
  int32_t code;
  const char *msg;
};

int32_t fill(kelffa_page *pg, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) {
    pg->items[i].name = "z";
    pg->items[i].path = "/m/z";
  }
  return KELFFA_OK;
}

const Misbehaviour kBad[] = {
    {"writes one record past cap",
     [](const char *, kelffa_page *pg) {
       fill(pg, pg->cap + 1);
       pg->count = pg->cap;
       return 0;
     },
     KELFFA_ERR_TRANSPORT, "backend wrote past cap 4"},
    {"clobbers the last guard",
     [](const char *, kelffa_page *pg) {
       pg->items[pg->cap + 15].name = nullptr;
       return 0;
     },
     KELFFA_ERR_TRANSPORT, "backend wrote past cap 4"},
    {"reports one more than cap",
     [](const char *, kelffa_page *pg) {
       fill(pg, pg->cap);
       pg->count = pg->cap + 1;
       return 0;
     },
     KELFFA_ERR_TRANSPORT, "backend returned 5 entries for cap 4"},
    {"reports a huge count",
     [](const char *, kelffa_page *pg) {
       pg->count = UINT64_MAX;
       return 0;
     },
     KELFFA_ERR_TRANSPORT, "backend returned 18446744073709551615 entries for cap 4"},
    {"raises cap and count together",
     [](const char *, kelffa_page *pg) {
       pg->cap = 1000;
       pg->count = 1000;
       return 0;
     },
     KELFFA_ERR_TRANSPORT, "backend returned 1000 entries for cap 4"},
    {"more without cursor",
     [](const char *, kelffa_page *pg) {
       fill(pg, 1);
       pg->count = 1;
       pg->more = 1;
       return 0;
     },
     KELFFA_ERR_TRANSPORT, "backend set more without next_cursor"},
    {"more with empty cursor",
     [](const char *, kelffa_page *pg) {
       pg->more = -3;
       pg->next_cursor = "";
       return 0;
     },
     KELFFA_ERR_TRANSPORT, "backend set more without next_cursor"},
    {"negative code", [](const char *, kelffa_page *) { return -1; }, KELFFA_ERR_TRANSPORT,
     "backend list returned out-of-taxonomy code -1"},
    {"code 11 with its own message",
     [](const char *, kelffa_page *) { return kelffa__fail(11, "mine"); }, KELFFA_ERR_TRANSPORT,
     "backend list returned out-of-taxonomy code 11"},
    {"cancelled with its own message",
     [](const char *, kelffa_page *) { return kelffa__fail(7, "mine"); }, KELFFA_ERR_CANCELLED,
     "cancelled (backend)"},
    {"access with its own message",
     [](const char *, kelffa_page *) { return kelffa__fail(4, "share refused"); },
     KELFFA_ERR_ACCESS, "share refused"},
    {"access without a message", [](const char *, kelffa_page *) { return 4; }, KELFFA_ERR_ACCESS,
     "list '/m': access"},
    {"fills entries, then fails",
     [](const char *, kelffa_page *pg) {
       fill(pg, 2);
       pg->count = 2;
       return 3;
     },
     KELFFA_ERR_NOT_FOUND, "list '/m': not_found"},
};

TEST_F(FfaListing, ContractBreachesFailThePageAndLeaveTheListingUsable) {
  sb().entries = script::numbered(10);
  ASSERT_EQ(kelffa_set_page_size(4), KELFFA_OK);
  for (const Misbehaviour &m : kBad) {
    SCOPED_TRACE(m.what);
    sb().list = nullptr;
    sb().cursors.clear();
    ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
    sb().list = m.list;
    EXPECT_EQ(kelffa_list_next(), -m.code);
    EXPECT_EQ(kelffa_last_code(), m.code);
    EXPECT_STREQ(kelffa_last_error(), m.msg);
    EXPECT_EQ(kelffa_count(), 4);  // nothing of the bad page was taken
    EXPECT_EQ(kelffa_rejected(), 0);
    EXPECT_EQ(kelffa_more(), 1);
    // The next call asks for the same page again and completes the listing.
    sb().list = nullptr;
    EXPECT_EQ(kelffa_list_next(), 1);
    EXPECT_EQ(kelffa_list_next(), 0);
    EXPECT_EQ(sb().cursors, (std::vector<std::string>{"(null)", "4", "4", "8"}));
    ASSERT_EQ(kelffa_count(), 10);
    for (int i = 0; i < 10; ++i)
      EXPECT_EQ(kelffa_item_name(kelffa_item_at(i)), "e" + std::to_string(i));

    // On the first page the same breach leaves no further page to fetch.
    sb().list = m.list;
    EXPECT_EQ(kelffa_list("/m"), m.code);
    EXPECT_STREQ(kelffa_last_error(), m.msg);
    EXPECT_EQ(kelffa_count(), 0);
    EXPECT_EQ(kelffa_more(), 0);
    EXPECT_EQ(kelffa_list_next(), 0);
  }
}

TEST_F(FfaListing, InvalidEntriesAreCountedAndSkipped) {
  sb().entries = {{"a", "/m/a"}, {"..", "/m/.."}, {"b", "/m/b"}, {"c", "/m/c"}};
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 3);
  EXPECT_EQ(kelffa_rejected(), 1);
  EXPECT_EQ(kelffa_last_code(), 0);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry: name is '.' or '..' (cycle)");
  EXPECT_STREQ(kelffa_item_name(kelffa_item_at(1)), "b");

  // Invalid UTF-8 and self-loops, over two pages: the count of rejections
  // runs across the listing and the last warning stays.
  sb().entries = {{"ok", "/m/ok"},          {"\xC3", "/m/x"}, {"self", "/m/"},
                  {"p", "/m/\xED\xA0\x80"}, {"self2", "/m"},  {"d", "/m/d", 2},
                  {"fine", "/m/fine", 1}};
  ASSERT_EQ(kelffa_set_page_size(4), KELFFA_OK);
  EXPECT_EQ(kelffa_list_all("/m//"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 2);
  EXPECT_EQ(kelffa_rejected(), 5);
  EXPECT_STREQ(kelffa_last_error(), "rejected entry: is_folder not 0/1");
  EXPECT_EQ(kelffa_item_is_folder(kelffa_item_at(1)), 1);
  // A new listing starts its count again and clears the warning.
  sb().entries = script::numbered(1);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa_rejected(), 0);
  EXPECT_STREQ(kelffa_last_error(), "");
}

TEST_F(FfaListing, ArgumentsAndSession) {
  std::string at_limit(4096, 'a'), over(4097, 'a');
  at_limit[0] = over[0] = '/';
  EXPECT_EQ(kelffa_list(at_limit.c_str()), KELFFA_OK);
  EXPECT_EQ(sb().last_folder, at_limit);
  EXPECT_EQ(kelffa_list(over.c_str()), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "path too long");
  EXPECT_EQ(kelffa_list(nullptr), KELFFA_ERR_INVALID_ARG);
  EXPECT_STREQ(kelffa_last_error(), "path is NULL");
  EXPECT_EQ(sb().list_calls, 1);

  sb().entries = script::numbered(300);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  kelffa_close();
  EXPECT_EQ(kelffa_count(), 0);
  EXPECT_EQ(kelffa_more(), 0);
  EXPECT_EQ(kelffa_list("/m"), KELFFA_ERR_NOT_OPEN);
  EXPECT_STREQ(kelffa_last_error(), "no open backend");
  kelffa__clear_error();
  EXPECT_EQ(kelffa_list_next(), -KELFFA_ERR_NOT_OPEN);
  EXPECT_STREQ(kelffa_last_error(), "no open backend");
  EXPECT_EQ(kelffa_list_all("/m"), KELFFA_ERR_NOT_OPEN);
}

TEST_F(FfaListing, PageSize) {
  for (int32_t bad : {0, 65537, -1, INT32_MIN}) {
    EXPECT_EQ(kelffa_set_page_size(bad), KELFFA_ERR_INVALID_ARG) << bad;
    EXPECT_STREQ(kelffa_last_error(), "page size must be 1..65536");
  }
  EXPECT_EQ(kelffa_set_page_size(65536), KELFFA_OK);
  EXPECT_STREQ(kelffa_last_error(), "page size must be 1..65536");  // not cleared
  uint64_t cap = 0;
  sb().list = [&cap](const char *f, kelffa_page *pg) {
    cap = pg->cap;
    EXPECT_EQ(pg->struct_size, 64u);
    EXPECT_EQ(pg->count, 0u);
    EXPECT_EQ(pg->more, 0);
    EXPECT_EQ(pg->next_cursor, nullptr);
    EXPECT_EQ(pg->items[pg->cap - 1].size, -1);  // fresh records
    EXPECT_EQ(pg->items[pg->cap - 1].struct_size, 72u);
    return script::serve(f, pg);
  };
  sb().entries = script::numbered(10);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  EXPECT_EQ(cap, 65536u);
  // A new size applies from the next page on, also within a listing.
  ASSERT_EQ(kelffa_set_page_size(4), KELFFA_OK);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_set_page_size(2), KELFFA_OK);
  EXPECT_EQ(kelffa_list_next(), 1);
  EXPECT_EQ(cap, 2u);
  EXPECT_EQ(kelffa_count(), 6);
}

TEST_F(FfaListing, CancellationOnTheListingThread) {
  sb().entries = script::numbered(10);
  ASSERT_EQ(kelffa_set_page_size(4), KELFFA_OK);
  kelffa_cancel();  // forgotten by the next listing
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  kelffa_cancel();  // between pages
  EXPECT_EQ(kelffa_list_next(), -KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled");
  EXPECT_EQ(kelffa_list_next(), -KELFFA_ERR_CANCELLED);  // stays set
  EXPECT_EQ(sb().list_calls, 1);
  EXPECT_EQ(kelffa_count(), 4);
  EXPECT_EQ(kelffa_list_all("/m"), KELFFA_OK);  // cleared by the new listing
  EXPECT_EQ(kelffa_count(), 10);

  // The backend raises the flag while it fills a page and returns success.
  sb().list = [](const char *f, kelffa_page *pg) {
    kelffa_cancel();
    return script::serve(f, pg);
  };
  EXPECT_EQ(kelffa_list("/m"), KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled during page");
  EXPECT_EQ(kelffa_count(), 0);
  // The backend sees the flag through the page record and gives up.
  sb().list = [](const char *, kelffa_page *pg) {
    kelffa_cancel();
    return read_flag(pg) ? KELFFA_ERR_CANCELLED : KELFFA_OK;
  };
  EXPECT_EQ(kelffa_list("/m"), KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled (backend)");
  // Stat and open clear the flag as well.
  kelffa_cancel();
  EXPECT_EQ(kelffa_get("/m/e1", nullptr), KELFFA_OK);
  EXPECT_EQ(kelffa__cancelled(), 0);
  kelffa_cancel();
  EXPECT_EQ(kelffa_open("s", nullptr), KELFFA_OK);
  EXPECT_EQ(kelffa__cancelled(), 0);
}

// Waits for a condition without hanging the test run when it never comes.
template <class F>
bool wait_for(F cond) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST_F(FfaListing, CancelFromAnotherThreadDuringAPageFetch) {
  sb().entries = script::numbered(10);
  ASSERT_EQ(kelffa_set_page_size(4), KELFFA_OK);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);

  // The backend blocks inside the fetch until another thread cancels, notices
  // the flag through the page record and gives up.
  static std::atomic<int> in_fetch;
  in_fetch = 0;
  sb().list = [](const char *, kelffa_page *pg) {
    in_fetch = 1;
    bool seen = wait_for([pg] { return read_flag(pg) != 0; });
    return seen ? KELFFA_ERR_CANCELLED : KELFFA_ERR_TRANSPORT;
  };
  std::thread canceller([] {
    wait_for([] { return in_fetch.load() == 1; });
    kelffa_cancel();
  });
  int32_t rc = kelffa_list_next();
  canceller.join();
  EXPECT_EQ(rc, -KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled (backend)");
  EXPECT_EQ(kelffa_count(), 4);
  EXPECT_EQ(kelffa_more(), 1);

  // The same, but the backend finishes its page without looking at the flag.
  sb().list = nullptr;
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  in_fetch = 0;
  static std::atomic<int> cancelled;
  cancelled = 0;
  sb().list = [](const char *f, kelffa_page *pg) {
    in_fetch = 1;
    wait_for([] { return cancelled.load() == 1; });
    return script::serve(f, pg);
  };
  std::thread canceller2([] {
    wait_for([] { return in_fetch.load() == 1; });
    kelffa_cancel();
    cancelled = 1;
  });
  rc = kelffa_list_next();
  canceller2.join();
  EXPECT_EQ(rc, -KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled during page");
  EXPECT_EQ(kelffa_count(), 4);
  sb().list = nullptr;
  EXPECT_EQ(kelffa_list_next(), -KELFFA_ERR_CANCELLED);  // until a listing clears it
  EXPECT_EQ(kelffa_list_all("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa_count(), 10);
}

TEST_F(FfaListing, CancelWhileEntriesAreCopiedRollsThePageBack) {
  // Another thread raises the flag while the second page is being copied:
  // the listing thread stops before entry 40 of that page until the flag is
  // up. The cancelled page leaves no entry and no rejection of its own behind.
  const int32_t n = 64;
  sb().entries = script::numbered(3 * n);
  for (int32_t i = 0; i < 3 * n; i += 7) sb().entries[static_cast<size_t>(i)].name = "..";
  ASSERT_EQ(kelffa_set_page_size(n), KELFFA_OK);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  const int32_t count = kelffa_count(), rejected = kelffa_rejected();
  ASSERT_EQ(count + rejected, n);

  static std::atomic<int> armed, go, raised;
  armed = 1;
  go = 0;
  raised = 0;
  kelffa__entry_probe = [](uint64_t index) {
    if (index != 40 || !armed.exchange(0)) return;
    go = 1;
    wait_for([] { return raised.load() == 1; });
  };
  std::thread canceller([] {
    wait_for([] { return go.load() == 1; });
    kelffa_cancel();
    raised = 1;
  });
  int32_t rc = kelffa_list_next();
  canceller.join();
  kelffa__entry_probe = nullptr;
  EXPECT_EQ(rc, -KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled during copy");
  EXPECT_EQ(kelffa_count(), count);
  EXPECT_EQ(kelffa_rejected(), rejected);
  EXPECT_EQ(kelffa_more(), 1);

  // The flag stays up until a listing clears it; a new listing takes every page once.
  EXPECT_EQ(kelffa_list_next(), -KELFFA_ERR_CANCELLED);
  EXPECT_STREQ(kelffa_last_error(), "cancelled");
  ASSERT_EQ(kelffa_list_all("/m"), KELFFA_OK);
  EXPECT_EQ(kelffa_count() + kelffa_rejected(), 3 * n);
  EXPECT_EQ(kelffa_rejected(), (3 * n + 6) / 7);
}

}  // namespace
