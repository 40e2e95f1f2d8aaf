// The real program behind a proxy named by libcurl's environment variables:
// manifest and installer go through the test's forwarding proxy, no_proxy
// sends them past it, and credentials in the variable sign in without
// reaching the log.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e/e2e_support.h"
#include "tests/support/forward_proxy.h"
#include "tests/support/run_program.h"

namespace solvane {
namespace {

using namespace testing;

// The route lines of the log in `home`.
std::vector<std::string> RouteLines(const std::string& home) {
  std::vector<std::string> routes;
  for (const std::string& line : LogMessages(home)) {
    if (line.rfind("FetchManifest: route ", 0) == 0) routes.push_back(line);
  }
  return routes;
}

class ProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string installer = InstallerScript(home_.str() + "/installer-ran");
    const std::string digest = Sha256Of(installer);
    server_.Serve(kManifestPath, ManifestFor("1.5.0", ReleaseUrl(kInstallerPath).c_str(),
                                             digest.c_str(), "Faster sync"));
    server_.Serve(kInstallerPath, installer);
  }

  ProgramRun Check(const std::map<std::string, std::string>& env) {
    return RunProgram(home_.str(), {"--check", "1.4.0"}, env);
  }

  bool Staged() const { return !ReadFile(UpdatesDirIn(home_.str()) + "/Solvane-1.5.0.sh").empty(); }

  TempDir home_;
  ReleaseServer server_{SOLVANE_TEST_PORT};
  ForwardProxy proxy_;
};

TEST_F(ProxyTest, EnvironmentProxyCarriesManifestAndInstaller) {
  // The release server is plain HTTP on loopback: http_proxy is the variable
  // libcurl reads for it, and all_proxy the fall-back for every scheme.
  for (const char* variable : {"http_proxy", "ALL_PROXY"}) {
    SCOPED_TRACE(variable);
    TempDir home;
    const std::size_t before = proxy_.Forwarded().size();
    const auto run =
        RunProgram(home.str(), {"--check", "1.4.0"}, {{variable, "http://" + proxy_.Address()}});
    EXPECT_EQ(run.exit_code, 0);
    const std::vector<std::string> forwarded = proxy_.Forwarded();
    EXPECT_EQ(
        std::vector<std::string>(forwarded.begin() + static_cast<long>(before), forwarded.end()),
        (std::vector<std::string>{ReleaseUrl(kManifestPath), ReleaseUrl(kInstallerPath)}));
    EXPECT_EQ(LogMessages(home.str()).back(), "check: staged 1.5.0");
    const std::string route = "FetchManifest: route proxy " + proxy_.Address() + " (environment)";
    EXPECT_EQ(RouteLines(home.str()), (std::vector<std::string>{route, route}));
  }
}

TEST_F(ProxyTest, FreshInstallGoesThroughTheProxy) {
  const auto run = RunProgram(home_.str(), {}, {{"http_proxy", proxy_.Address()}});
  EXPECT_EQ(run.exit_code, 0) << run.stderr_text;
  EXPECT_TRUE(WaitForFile(home_.str() + "/installer-ran"));
  EXPECT_EQ(proxy_.Forwarded(),
            (std::vector<std::string>{ReleaseUrl(kManifestPath), ReleaseUrl(kInstallerPath)}));
}

TEST_F(ProxyTest, TheLoggedRouteIsTheRouteTaken) {
  // The release server is 127.0.0.1: names never match it, addresses and
  // networks do; libcurl reads "*" only as the whole list.
  struct Case {
    const char* no_proxy;
    bool direct;
  };
  const Case cases[] = {
      {"127.0.0.1", true},         {"example.com", false},
      {".example.com", false},     {"*", true},
      {"127.0.0.0/8", true},       {"10.0.0.0/8", false},
      {"other.org, *", false},     {"::1/128", false},
      {"::ffff:127.0.0.1", false}, {"localhost, 127.0.0.1/32", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.no_proxy);
    TempDir home;
    const std::size_t before = proxy_.Forwarded().size();
    const auto run = RunProgram(home.str(), {"--check", "1.4.0"},
                                {{"http_proxy", proxy_.Address()}, {"no_proxy", c.no_proxy}});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(LogMessages(home.str()).back(), "check: staged 1.5.0");
    const std::string route =
        c.direct ? "FetchManifest: route direct (environment)"
                 : "FetchManifest: route proxy " + proxy_.Address() + " (environment)";
    EXPECT_EQ(RouteLines(home.str()), std::vector<std::string>(2, route));
    EXPECT_EQ(proxy_.Forwarded().size() - before, c.direct ? 0u : 2u);
  }
}

TEST_F(ProxyTest, NoProxyGoesPastIt) {
  for (const char* variable : {"no_proxy", "NO_PROXY"}) {
    SCOPED_TRACE(variable);
    TempDir home;
    const auto run = RunProgram(home.str(), {"--check", "1.4.0"},
                                {{"http_proxy", proxy_.Address()}, {variable, "127.0.0.1"}});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(LogMessages(home.str()).back(), "check: staged 1.5.0");
    EXPECT_EQ(RouteLines(home.str()),
              std::vector<std::string>(2, "FetchManifest: route direct (environment)"));
  }
  EXPECT_EQ(proxy_.Forwarded(), std::vector<std::string>{});
  EXPECT_EQ(server_.Hits(kManifestPath), 2);
}

TEST_F(ProxyTest, CredentialsInTheVariableSignInAndStayOutOfTheLog) {
  proxy_.RequireSignIn({"Basic realm=\"corp\""});
  const auto run = Check({{"http_proxy", "http://alice:s3cret@" + proxy_.Address()}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(Staged());
  const std::vector<std::string> sign_ins = proxy_.SignIns();
  ASSERT_FALSE(sign_ins.empty());
  EXPECT_EQ(sign_ins[0], "Basic YWxpY2U6czNjcmV0");  // alice:s3cret
  EXPECT_EQ(proxy_.Forwarded().size(), 2u);
  const std::string log = ReadFile(UpdatesDirIn(home_.str()) + "/SolvaneSetup.log");
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
  EXPECT_EQ(log.find("alice"), std::string::npos) << log;
  EXPECT_EQ(RouteLines(home_.str()).front(),
            "FetchManifest: route proxy " + proxy_.Address() + " (environment)");
}

TEST_F(ProxyTest, PasswordsWithAtColonAndEscapesNeverReachTheLog) {
  proxy_.RequireSignIn({"Basic realm=\"corp\""});
  // Encoded, the password signs in; with a bare '@' libcurl refuses the
  // setting, and the log must not take what follows it for the host.
  const std::string encoded = "http://alice:p%40ss:w0rd@" + proxy_.Address();
  const std::string bare = "http://alice:p@ss:w0rd%40x@" + proxy_.Address();
  const auto run = Check({{"http_proxy", encoded}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(Staged());
  EXPECT_EQ(proxy_.SignIns().front(), "Basic YWxpY2U6cEBzczp3MHJk");  // alice:p@ss:w0rd
  TempDir other;
  EXPECT_EQ(RunProgram(other.str(), {"--check", "1.4.0"}, {{"http_proxy", bare}}).exit_code, 0);
  EXPECT_EQ(RouteLines(other.str()).front(),
            "FetchManifest: route proxy (unreadable address) (environment)");
  EXPECT_EQ(LogMessages(other.str()).back(),
            "check: manifest fetch failed: cannot resolve the "
            "proxy's name");
  for (const std::string& home : {home_.str(), other.str()}) {
    const std::string log = ReadFile(UpdatesDirIn(home) + "/SolvaneSetup.log");
    for (const char* secret : {"alice", "p%40ss", "p@ss", "ss:w0rd", "w0rd", "@"}) {
      EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in " << log;
    }
  }
}

TEST_F(ProxyTest, ProxyRefusingSignInIsNamed) {
  proxy_.RequireSignIn({"Basic realm=\"corp\""});
  const auto run = Check({{"http_proxy", proxy_.Address()}});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.stderr_text, "");
  EXPECT_FALSE(Staged());
  EXPECT_EQ(LogMessages(home_.str()).back(),
            "check: manifest fetch failed: proxy sign-in refused (HTTP 407)");
  // The failed fetch still postpones the next unforced check.
  EXPECT_TRUE(nlohmann::json::parse(ReadFile(UpdatesDirIn(home_.str()) + "/Updates.json"))
                  .contains("last_check"));
  EXPECT_EQ(proxy_.Forwarded(), std::vector<std::string>{});
  EXPECT_EQ(server_.Hits(kManifestPath), 0);
}

}  // namespace
}  // namespace solvane
