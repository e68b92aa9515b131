#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/security/Authorization.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

using namespace quill::platform::security;
using quill::testing::TempFolder;

namespace {

// Reads the child's output to the end and reaps it; returns the output and sets the exit code.
std::string finish(const PrivilegedChild& child, int* exitCode) {
    std::string out;
    char buf[256];
    ssize_t n = 0;
    while ((n = ::read(child.outputFd, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    ::close(child.outputFd);
    int status = 0;
    ::waitpid(child.pid, &status, 0);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

}  // namespace

TEST(SecuritySpawn, OutputWorkingDirectoryAndFileModeMask) {
    TempFolder tmp;
    const std::string before = std::filesystem::current_path();
    PrivilegedChild child;
    const mode_t mask = ::umask(077);
    const int spawned = spawnWithOutputPipe({"/bin/sh", "-c", "umask; pwd; exit 3"}, tmp.str(), &child);
    ::umask(mask);
    ASSERT_EQ(spawned, 0);
    int code = 0;
    EXPECT_EQ(finish(child, &code), "0022\n" + std::filesystem::canonical(tmp.path()).string() + "\n");
    EXPECT_EQ(code, 3);
    EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST(SecuritySpawn, MissingProgramIsAnError) {
    PrivilegedChild child;
    EXPECT_EQ(spawnWithOutputPipe({"/nonexistent/program"}, {}, &child), ENOENT);
    EXPECT_EQ(child.pid, -1);
}

TEST(SecuritySystemService, UserGoesThroughPkexecNamingTheProgramItself) {
    TempFolder tmp;
    // A stand-in for pkexec that prints the command it was asked to run.
    const std::string stub = tmp / "pkexec";
    quill::testing::writeFileText(stub, "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\n");
    std::filesystem::permissions(stub, std::filesystem::perms(0755));
    SystemAuthorizationService service(stub, SystemAuthorizationService::Rights::User);
    EXPECT_TRUE(service.privilegedLaunchAvailable());

    AuthorizationRef ref;
    ASSERT_EQ(service.create(&ref), errAuthorizationSuccess);
    PrivilegedChild child;
    PrivilegedLaunchRequest req{"/bin/cp", {"-R", "a b", "c"}, "/tmp"};
    // Without the admin right nothing starts.
    EXPECT_EQ(service.executeWithPrivileges(ref, req, &child), errAuthorizationDenied);
    ASSERT_EQ(service.copyRights(ref, kAuthorizationRightExecute,
                                 kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
                                     kAuthorizationFlagPreAuthorize),
              errAuthorizationSuccess);
    ASSERT_EQ(service.executeWithPrivileges(ref, req, &child), errAuthorizationSuccess);
    int code = 0;
    EXPECT_EQ(finish(child, &code), "[/bin/cp][-R][a b][c]");
    EXPECT_EQ(code, 0);
}

TEST(SecuritySystemService, UnavailableWithoutRootOrPkexec) {
    SystemAuthorizationService user("/nonexistent/pkexec", SystemAuthorizationService::Rights::User);
    EXPECT_FALSE(user.privilegedLaunchAvailable());
    SystemAuthorizationService root("/nonexistent/pkexec", SystemAuthorizationService::Rights::Root);
    EXPECT_TRUE(root.privilegedLaunchAvailable());
}

TEST(SecurityRecordingService, RecordsAndSubstitutes) {
    RecordingAuthorizationService fake;
    AuthorizationRef ref;
    ASSERT_EQ(fake.create(&ref), 0);
    ASSERT_EQ(fake.copyRights(ref, kAuthorizationRightExecute, 19), 0);
    PrivilegedChild child;
    ASSERT_EQ(fake.executeWithPrivileges(ref, {"/bin/sh", {"-c", "echo never"}, {}}, &child), 0);
    int code = 0;
    EXPECT_EQ(finish(child, &code), "");  // /bin/true ran instead
    EXPECT_EQ(code, 0);
    ASSERT_EQ(fake.launches().size(), 1u);
    EXPECT_EQ(fake.launches()[0].arguments[1], "echo never");
    EXPECT_EQ(fake.rightRequests()[0], std::make_pair(std::string("system.privilege.admin"), 19u));

    fake.executeStatus = errAuthorizationToolExecuteFailure;
    EXPECT_EQ(fake.executeWithPrivileges(ref, {"/bin/sh", {}, {}}, &child),
              errAuthorizationToolExecuteFailure);
    EXPECT_EQ(fake.launches().size(), 2u);
}
