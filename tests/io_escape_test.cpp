// Query-value escaping and the redaction of secrets in URLs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "match/http.h"

namespace {

std::string take(char *p) {
  std::unique_ptr<char, decltype(&std::free)> hold(p, &std::free);
  return p ? std::string(p) : std::string("<null>");
}

TEST(QueryEscape, Table) {
  const struct {
    const char *in;
    const char *want;
  } rows[] = {
      {"a b/\xC3\xA9", "a%20b%2F%C3%A9"},
      {"A-Z_0.9~", "A-Z_0.9~"},
      {"", ""},
      {"+%&=?#", "%2B%25%26%3D%3F%23"},
      {"\x7F\xFF", "%7F%FF"},
      {"{\"k\":1,}", "%7B%22k%22%3A1%2C%7D"},
  };
  for (const auto &r : rows) EXPECT_EQ(take(kel_query_escape(r.in)), r.want) << r.in;
  EXPECT_EQ(kel_query_escape(nullptr), nullptr);
}

TEST(QueryEscape, ExactlySixtySixBytesPassUnchanged) {
  int unchanged = 0;
  for (int c = 1; c < 256; c++) {
    char in[2] = {static_cast<char>(c), '\0'};
    std::string out = take(kel_query_escape(in));
    if (out.size() == 1) {
      EXPECT_EQ(out[0], in[0]);
      unchanged++;
    } else {
      char want[4];
      std::snprintf(want, sizeof want, "%%%02X", c);
      EXPECT_EQ(out, want);
    }
  }
  EXPECT_EQ(unchanged, 66);
}

TEST(RedactUrl, Table) {
  const struct {
    const char *in;
    const char *want;
  } rows[] = {
      {"https://h/p?user=a&password=secret&x=1", "https://h/p?user=a&password=***&x=1"},
      {"https://h/p?password", "https://h/p?password"},
      {"https://h/p?password&x=1", "https://h/p?password&x=1"},
      {"?password=a&code=b&apikey=c&api_key=d&z=9",
       "?password=***&code=***&apikey=***&api_key=***&z=9"},
      {"?passcode=1&b=2", "?passcode=***&b=2"},
      {"?mypassword=1&b=2", "?mypassword=***&b=2"},
      {"password=abc", "password=***"},
      {"?code=1&&code=2", "?code=***&&code=***"},
      // The value runs to the next "&", whatever it holds.
      {"?password=code=1&b=2", "?password=***&b=2"},
      {"?zcode=1&password=2", "?zcode=***&password=***"},
      {"?code=", "?code=***"},
      {"https://h/plain", "https://h/plain"},
      {"", ""},
  };
  for (const auto &r : rows) EXPECT_EQ(take(kel_redact_url(r.in)), r.want) << r.in;
  EXPECT_EQ(take(kel_redact_url(nullptr)), "");
}

TEST(RedactUrl, ManySecretsInALongUrl) {
  std::string in = "https://h/q?", want = in;
  for (int i = 0; i < 200; i++) {
    in += "a=" + std::to_string(i) + "&code=s" + std::to_string(i) + "&";
    want += "a=" + std::to_string(i) + "&code=***&";
  }
  EXPECT_EQ(take(kel_redact_url(in.c_str())), want);
}

}  // namespace
