// The quilo tool as a user runs it: its exit status, its output, and the server's state as
// awscli sees it afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "integration/Blocking.hpp"
#include "support/FaultProxy.hpp"
#include "support/Servers.hpp"

namespace quilo {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::FaultAction;
using test::RunResult;
using test::Server;

// The tests' environment with shared files that do not exist (never ~/.aws), after `extra`.
std::vector<std::string> environmentWith(std::vector<std::string> extra) {
    extra.insert(extra.end(), {"AWS_CONFIG_FILE=/nonexistent/config",
                               "AWS_SHARED_CREDENTIALS_FILE=/nonexistent/credentials"});
    return test::environmentWith(extra);
}

// `endpoint` stands in for the server's own, as a proxy in front of it.
std::vector<std::string> awsEnvironment(const Server& server, std::string endpoint = {}) {
    return environmentWith({"AWS_ENDPOINT_URL=" + (endpoint.empty() ? server.endpoint() : endpoint),
                            "AWS_ACCESS_KEY_ID=" + server.accessKey,
                            "AWS_SECRET_ACCESS_KEY=" + server.secretKey,
                            "AWS_REGION=" + server.region, "AWS_CA_BUNDLE=" + server.caFile});
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> args{QUILO_CLI_PATH};
    std::istringstream in(line);
    for (std::string word; in >> word;)
        args.push_back(word);
    return args;
}

// The tool with the words of `line`, which hold no spaces of their own.
RunResult quilo(const std::string& line,
                const std::vector<std::string>& environment = awsEnvironment(test::rgw())) {
    return test::run(words(line), environment);
}

// The tool with these arguments, for names with spaces.
RunResult quilo(std::vector<std::string> args,
                const std::vector<std::string>& environment = awsEnvironment(test::rgw())) {
    args.insert(args.begin(), QUILO_CLI_PATH);
    return test::run(args, environment);
}

std::string describe(const RunResult& result) {
    return "exit " + std::to_string(result.exitCode) + "\nstdout:\n" + result.out + "stderr:\n" +
           result.err;
}

// Every regular file below `root` by relative path, with its content.
std::map<std::string, std::string> filesBelow(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = test::readFile(entry.path());
    return files;
}

// "action path" for each thing done, from a summary printed with --output json; paths relative
// to the roots given, sorted.
std::vector<std::string> actions(const RunResult& result, const std::vector<std::string>& roots) {
    std::vector<std::string> done;
    const auto document = json::parse(result.out);
    for (const auto& entry : document["done"]) {
        std::string path = entry.value("to", entry["from"].get<std::string>());
        for (const auto& root : roots)
            if (path.starts_with(root))
                path.erase(0, root.size());
        done.push_back(entry["action"].get<std::string>() + " " + path);
    }
    std::sort(done.begin(), done.end());
    return done;
}

// Starts the tool, waits until its output holds `awaited`, sends `signal` `times` times, 0.1 s
// apart, and waits for the end. The shell runs the tool as a job of its own, so that it does not
// start with SIGINT ignored.
RunResult interruptWhen(std::vector<std::string> args, const std::function<bool()>& ready,
                        int signal, int times, const test::TempDir& dir,
                        const std::vector<std::string>& environment) {
    const auto out = dir.path() / "out.txt", pid = dir.path() / "pid";
    // A run before left them.
    fs::remove(out);
    fs::remove(pid);
    args.insert(args.begin(),
                {"bash", "-c", "set -m; (echo $BASHPID >\"$2\"; exec \"${@:3}\" >\"$1\") & wait $!",
                 "interrupt", out, pid, QUILO_CLI_PATH});
    RunResult result;
    std::thread running([&] { result = test::run(args, environment); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int sent = 0; sent < times; ++sent) {
        std::this_thread::sleep_for(std::chrono::milliseconds(sent > 0 ? 100 : 0));
        if (const int tool = std::atoi(test::readFile(pid).c_str()); tool > 0)  // 0: our group
            ::kill(tool, signal);
    }
    running.join();
    result.out = test::readFile(out);
    return result;
}

RunResult interrupt(std::vector<std::string> args, const std::string& awaited, int signal,
                    int times, const test::TempDir& dir,
                    const std::vector<std::string>& environment) {
    const auto out = dir.path() / "out.txt";
    fs::remove(out);
    return interruptWhen(
        std::move(args), [&] { return test::readFile(out).find(awaited) != std::string::npos; },
        signal, times, dir, environment);
}

class Cli : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto made = quilo("mb " + url());
        ASSERT_EQ(made.exitCode, 0) << describe(made);
    }
    void TearDown() override { test::aws(server_, {"s3", "rb", "--force", url()}); }

    std::string url(const std::string& key = "") const {
        return "s3://" + bucket_ + (key.empty() ? "" : "/" + key);
    }
    // What awscli's s3api `command` says of the bucket, as text.
    std::string awsQuery(std::vector<std::string> command, const std::string& query) const {
        command.insert(command.begin(), "s3api");
        command.insert(command.end(), {"--bucket", bucket_, "--query", query, "--output", "text"});
        const auto result = test::aws(server_, command);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    const Server server_ = test::rgw();
    const std::string bucket_ = test::uniqueBucketName("cli");
    const test::TempDir dir_;
};

// The example programs, as README shows them: one upload through a future, and a tree uploaded
// eight at a time by a coroutine and listed back.
TEST_F(Cli, TheExamplesUploadAndListWhatAwscliSees) {
    const auto example = [&](const std::string& name, const std::vector<std::string>& args) {
        std::vector<std::string> argv{std::string(QUILO_EXAMPLES_DIR) + "/" + name};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto result = test::run(argv, awsEnvironment(server_));
        EXPECT_EQ(result.exitCode, 0) << name << ": " << describe(result);
        return result.out;
    };
    const auto one = dir_.file("one", "one"), tree = (dir_.path() / "tree").string();
    const auto uploaded = example("upload_future", {one, bucket_, "one"});
    EXPECT_EQ(uploaded,
              "ETag " + awsQuery({"head-object", "--key", "one"}, "ETag").substr(1, 32) + "\n");
    std::string listed;
    for (int i = 0; i < 20; ++i) {
        // Appended, not prepended: GCC 12 warns falsely of overlap on "d" + std::string.
        const std::string folder = std::string("d").append(std::to_string(i % 3));
        const auto name = folder + "/f" + std::to_string(i);
        fs::create_directories(fs::path(tree) / folder);
        dir_.file("tree/" + name, std::string(i, 'x'));
        listed += test::line({"t/" + name, std::to_string(i)});
    }
    EXPECT_EQ(test::lines(example("upload_tree", {tree, bucket_, "t/"})), test::lines(listed));
}

TEST_F(Cli, EveryCommandChangesWhatAwscliSees) {
    // Settings from flags alone; an endpoint without a scheme is reached over HTTPS.
    const Server https = test::rgwHttps();
    const auto buckets = quilo("--endpoint " + https.host + " --access-key " + https.accessKey +
                                   " --secret-key " + https.secretKey + " --region " +
                                   https.region + " --ca-file " + https.caFile + " ls",
                               environmentWith({}));
    EXPECT_NE(buckets.out.find("  " + bucket_ + "\n"), std::string::npos) << describe(buckets);

    const std::string a = test::randomBytes(300 * 1024), b = "hello\n";
    const auto put =
        quilo("put " + dir_.file("a.bin", a) + " " + dir_.file("b.txt", b) + " " +
              dir_.file("c.bin", a.substr(0, 70 * 1024)) + " " + url("dir/") + " --jobs 2");
    ASSERT_EQ(put.exitCode, 0) << describe(put);
    ASSERT_EQ(quilo("put " + dir_.path().string() + "/b.txt " + url("top.txt")).exitCode, 0);
    const std::string listQuery = "Contents[].[Key,Size]";
    EXPECT_EQ(awsQuery({"list-objects"}, listQuery),
              "dir/a.bin\t307200\ndir/b.txt\t6\ndir/c.bin\t71680\ntop.txt\t6\n");
    // Two keys a page: the tool must follow the marker through three pages.
    const auto listed = quilo("ls --recursive " + url() + " --page-size 2");
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 4) << listed.out;
    for (const char* key : {" dir/a.bin\n", " dir/b.txt\n", " dir/c.bin\n", " top.txt\n"})
        EXPECT_NE(listed.out.find(key), std::string::npos) << key << listed.out;

    fs::create_directory(dir_.path() / "into");
    const auto got = quilo("get " + url("dir/a.bin") + " " + url("top.txt") + " " +
                           dir_.path().string() + "/into");
    ASSERT_EQ(got.exitCode, 0) << describe(got);
    EXPECT_EQ(test::readFile(dir_.path() / "into" / "a.bin"), a);
    EXPECT_EQ(test::readFile(dir_.path() / "into" / "top.txt"), b);
    const auto streamed = quilo("get " + url("dir/a.bin") + " -");
    EXPECT_TRUE(streamed.exitCode == 0 && streamed.out == a) << streamed.err;
    EXPECT_EQ(quilo("cp " + url("dir/c.bin") + " " + url("copies/")).exitCode, 0);
    EXPECT_EQ(quilo("rm " + url("dir/a.bin") + " " + url("top.txt")).exitCode, 0);
    EXPECT_EQ(awsQuery({"list-objects"}, listQuery),
              "copies/c.bin\t71680\ndir/b.txt\t6\ndir/c.bin\t71680\n");

    const std::string allUsers = "http://acs.amazonaws.com/groups/global/AllUsers";
    ASSERT_EQ(quilo("put " + dir_.file("p.html", "<p>hi</p>") + " " + url() + " --acl public-read")
                  .exitCode,
              0);
    EXPECT_EQ(awsQuery({"get-object-acl", "--key", "p.html"},
                       "Grants[?Grantee.URI=='" + allUsers + "'].Permission"),
              "READ\n");
    EXPECT_NE(quilo("acl get " + url("p.html")).out.find(allUsers), std::string::npos);
    const auto presigned = quilo("presign " + url("p.html") + " --expires 60");
    const auto fetched =
        test::run({"curl", "-sf", presigned.out.substr(0, presigned.out.find('\n'))});
    EXPECT_EQ(fetched.out, "<p>hi</p>") << describe(presigned);
    const std::string other = test::rgwOther().userId;
    const auto set = quilo("acl set " + url() + " --grant READ=id=" + other +
                           " --grant FULL_CONTROL=id=" + server_.userId);
    EXPECT_EQ(set.exitCode, 0) << describe(set);
    EXPECT_EQ(
        awsQuery({"get-bucket-acl"}, "sort_by(Grants, &Permission)[].[Permission,Grantee.ID]"),
        "FULL_CONTROL\t" + server_.userId + "\nREAD\t" + other + "\n");

    const auto meta = quilo("meta set " + url("p.html") + " color=blue Content-Type=text/html");
    EXPECT_EQ(meta.exitCode, 0) << describe(meta);
    EXPECT_EQ(awsQuery({"head-object", "--key", "p.html"}, "[ContentType,Metadata.color]"),
              "text/html\tblue\n");
    EXPECT_NE(quilo("meta get " + url("p.html")).out.find("blue"), std::string::npos);

    test::aws(server_, {"s3", "rm", "--recursive", url()});
    EXPECT_EQ(quilo("rb " + url()).exitCode, 0);
    EXPECT_NE(test::aws(server_, {"s3api", "head-bucket", "--bucket", bucket_}).exitCode, 0);
}

TEST_F(Cli, FailuresExitOneOnOneLineAndWrongCommandLinesExitTwo) {
    Server wrong = server_;
    wrong.secretKey = "not-the-secret";
    const auto denied = quilo("ls", awsEnvironment(wrong));
    EXPECT_EQ(denied.exitCode, 1) << describe(denied);
    EXPECT_NE(denied.err.find("SignatureDoesNotMatch"), std::string::npos) << denied.err;
    EXPECT_EQ(std::count(denied.err.begin(), denied.err.end(), '\n'), 1) << denied.err;

    const auto missing = quilo("get " + url("nothing") + " " + dir_.path().string() + "/nothing");
    EXPECT_EQ(missing.exitCode, 1) << describe(missing);
    EXPECT_TRUE(fs::is_empty(dir_.path())) << "a download file is left";

    for (const std::string line :
         {"", "frobnicate", "ls --no-such-flag", "mb bucket-without-scheme",
          "put only-one-argument", "put a.txt s3://bucket/ --acl public",
          "acl set s3://bucket --grant LOOK=id=someone", "meta set s3://bucket/key no-value",
          "--jobs 0 ls", "sync a b", "get -r s3://bucket/p/ s3://c/", "rm -r s3://b/a s3://b/c",
          "--output yaml ls"}) {
        // No keys, so that a command line taken for a good one by mistake reaches no bucket.
        const auto result = quilo(line, environmentWith({"AWS_ENDPOINT_URL=http://127.0.0.1:1"}));
        EXPECT_EQ(result.exitCode, 2) << line << describe(result);
        EXPECT_EQ(result.out, "") << line;
    }
}

TEST_F(Cli, TreesGoUpAndComeBackWithinTheirFolder) {
    const auto src = dir_.path() / "src";
    for (const char* directory : {"src/a b/ü", "src/deep/x/y", "src/empty", "outside"})
        fs::create_directories(dir_.path() / directory);
    dir_.file("src/a b/ü/f 1.txt", "spaces and UTF-8");
    dir_.file("src/index.html", "<p>hi</p>");
    dir_.file("src/deep/x/y/z.json", test::randomBytes(100 * 1024));
    dir_.file("outside/secret.txt", "not below src");
    fs::create_directory_symlink(dir_.path() / "outside", src / "linked");
    ASSERT_EQ(quilo({"put", dir_.file("old.txt", "old"), url("photos-old/old.txt")}).exitCode, 0);

    // Without the trailing slash the prefix still means the folder, never photos-old/.
    const auto put = quilo({"put", "-r", src.string(), url("photos"), "--jobs", "3"});
    ASSERT_EQ(put.exitCode, 0) << describe(put);
    const std::string keys = "Contents[].[Key]";
    EXPECT_EQ(
        awsQuery({"list-objects"}, keys),
        "photos-old/old.txt\nphotos/a b/ü/f 1.txt\nphotos/deep/x/y/z.json\nphotos/index.html\n");
    EXPECT_EQ(awsQuery({"head-object", "--key", "photos/index.html"}, "ContentType"),
              "text/html\n");
    const auto followed = quilo({"put", "-r", "--follow-symlinks", src.string(), url("f/")});
    EXPECT_EQ(followed.exitCode, 0) << describe(followed);
    EXPECT_NE(awsQuery({"list-objects", "--prefix", "f/"}, keys).find("f/linked/secret.txt\n"),
              std::string::npos);

    const auto back = dir_.path() / "back";
    const auto got = quilo({"get", "-r", url("photos"), back.string()});
    ASSERT_EQ(got.exitCode, 0) << describe(got);
    EXPECT_EQ(filesBelow(back), filesBelow(src));
    const auto removed = quilo({"rm", "-r", url("photos")});
    EXPECT_EQ(removed.exitCode, 0) << describe(removed);
    EXPECT_EQ(awsQuery({"list-objects", "--prefix", "photos"}, keys), "photos-old/old.txt\n");
}

// Each step starts from the state the one before it left; the paths are relative to the trees.
TEST_F(Cli, SyncCopiesWhatDiffersBothWaysAndOnlyListsWhenNothingDoes) {
    std::atomic<int> requests = 0;
    std::function<void()> onDelete;  // once, as a delete reaches the server
    const test::FaultProxy proxy(server_.host, [&](const test::ServedRequest& request) {
        ++requests;
        if (request.method == "DELETE" && onDelete)
            std::exchange(onDelete, nullptr)();
        return test::ProxyFault::none;
    });
    const auto environment = awsEnvironment(server_, "http://" + proxy.host());
    const auto src = dir_.path() / "src", copy = dir_.path() / "copy";
    fs::create_directories(src / "sub");
    // "sub-x" lists before "sub/" and after "sub": the walk must come in the listing's order.
    for (const std::string name : {"a.txt", "sub/b.txt", "sub/c.log", "keep.log", "sub-x"})
        dir_.file("src/" + name, name);
    const std::vector<std::string> up = {src.string(), url("p")}, down = {url("p"), copy.string()};
    const auto sync = [&](const std::vector<std::string>& direction,
                          const std::vector<std::string>& options = {}, int status = 0) {
        std::vector<std::string> args = {"sync", "--output", "json"};
        args.insert(args.end(), direction.begin(), direction.end());
        args.insert(args.end(), options.begin(), options.end());
        const auto result = quilo(args, environment);
        EXPECT_EQ(result.exitCode, status) << describe(result);
        return actions(result, {src.string() + "/", copy.string() + "/", url("p/")});
    };
    EXPECT_EQ(sync(up).size(), 5u);
    EXPECT_EQ(sync(down).size(), 5u);
    // Downloads carry Last-Modified, so syncing the copy up finds nothing newer either.
    for (const auto& direction : {up, down, {copy.string(), url("p")}}) {
        const int before = requests;
        EXPECT_EQ(sync(direction), std::vector<std::string>{});
        EXPECT_EQ(requests - before, 1) << "one listing page, nothing else";
    }

    // Times are compared to the millisecond: a change within the second of the last copy shows.
    const auto listed = [&](const std::string& key) {
        const std::string date = json::parse(
            quilo("--output json ls " + url("p/" + key)).out)["objects"][0]["lastModified"];
        std::tm time{};
        ::strptime(date.c_str(), "%Y-%m-%dT%H:%M:%S", &time);
        return std::chrono::milliseconds(::timegm(&time) * 1000LL + std::stoi(date.substr(20, 3)));
    };
    const auto stamp = [](const fs::path& file, std::chrono::milliseconds time) {
        fs::last_write_time(file, std::chrono::file_clock::from_sys(
                                      std::chrono::sys_time<std::chrono::milliseconds>(time)));
    };
    const std::chrono::milliseconds ms(1);
    struct Step {
        std::function<void()> change;
        std::vector<std::string> direction, options, expected;
        int status = 0;
    };
    const Step steps[] = {
        {[&] {
             dir_.file("src/a.txt", "grown!"), stamp(src / "sub/b.txt", listed("sub/b.txt") + ms);
         },
         up,
         {"--size-only"},
         {"upload a.txt"}},
        {[] {}, up, {}, {"upload sub/b.txt"}},
        {[&] { fs::remove(src / "keep.log"), fs::remove(src / "sub/c.log"); },
         up,
         {"--delete", "--exclude", "*.log", "--include", "sub/*"},
         {"delete sub/c.log"}},
        {[] {}, up, {"--delete", "--dryrun"}, {"delete keep.log"}},
        {[] {}, up, {"--delete"}, {"delete keep.log"}},
        // A delete that goes first, on its own, leaves the uploads after it refusing a link put
        // at a file's name once the walk has passed it.
        {[&] {
             ASSERT_EQ(quilo({"put", dir_.file("x", ""), url("p/0\x1b")}).exitCode, 0);
             dir_.file("src/a.txt", "grown?");
             onDelete = [&] {
                 fs::remove(src / "a.txt");
                 fs::create_symlink(dir_.file("grown.txt", "grown!"), src / "a.txt");
             };
         },
         up,
         {"--delete", "--jobs", "1"},
         {"delete 0\\x1b"},
         1},
        // The filters spare local files from --delete as well.
        {[&] { stamp(copy / "sub/b.txt", listed("sub/b.txt") - ms); },
         down,
         {"--delete", "--exclude", "*.log"},
         {"download a.txt", "download sub/b.txt"}},
        {[] {}, down, {"--delete"}, {"delete keep.log", "delete sub/c.log"}},
    };
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(sync(step.direction, step.options, step.status), step.expected)
            << step.options.size();
    }
    fs::remove(src / "a.txt");  // the link that was refused, to what the copy holds
    dir_.file("src/a.txt", "grown!");
    EXPECT_EQ(filesBelow(copy), filesBelow(src));
}

// Nothing the walk could not read is deleted, nothing outside the directory is written or
// removed through a link, and a directory swapped for a link meanwhile leads nowhere. What may
// not be read is refused to the tool as to any user, root included.
TEST_F(Cli, TreesNeverDeleteWhatWasNotSeenNorStepOutside) {
    const auto src = dir_.path() / "src", copy = dir_.path() / "copy", got = dir_.path() / "got",
               outside = dir_.path() / "outside";
    for (const char* directory : {"src/locked", "src/d", "copy", "outside"})
        fs::create_directories(dir_.path() / directory);
    for (const char* name : {"src/locked/kept", "src/d/1", "src/d/2", "outside/secret"})
        dir_.file(name, name);
    ASSERT_EQ(quilo({"sync", src.string(), url("p")}).exitCode, 0);
    const auto keys = [&] { return awsQuery({"list-objects"}, "Contents[].[Key]"); };

    fs::permissions(src / "locked", fs::perms::none);
    std::vector<std::string> sync = {QUILO_CLI_PATH, "sync", "--delete", src.string(), url("p")};
    if (::geteuid() == 0)  // root reads anything until it gives up the right
        sync.insert(sync.begin(), {"setpriv", "--bounding-set=-dac_override,-dac_read_search"});
    const auto unread = test::run(sync, awsEnvironment(server_));
    fs::permissions(src / "locked", fs::perms::owner_all);
    EXPECT_EQ(unread.exitCode, 1) << describe(unread);
    EXPECT_EQ(keys(), "p/d/1\np/d/2\np/locked/kept\n");

    fs::create_directory_symlink(outside, copy / "linked");
    const auto through = quilo({"sync", "--delete", "--follow-symlinks", url("p"), copy.string()});
    EXPECT_EQ(through.exitCode, 0) << describe(through);

    // d/ becomes a link to outside/ while its first file comes; the second is on its way, or
    // refused.
    const test::FaultProxy proxy(server_.host, [&](const test::ServedRequest& request) {
        if (request.target.ends_with("/p/d/1")) {
            fs::rename(got / "d", got / "d.moved");
            fs::create_directory_symlink(outside, got / "d");
        }
        return test::ProxyFault::none;
    });
    const auto swapped = quilo({"--jobs", "1", "get", "-r", url("p"), got.string()},
                               awsEnvironment(server_, "http://" + proxy.host()));
    EXPECT_TRUE(fs::exists(got / "d.moved" / "1")) << describe(swapped);
    EXPECT_EQ(filesBelow(outside),
              (std::map<std::string, std::string>{{"secret", "outside/secret"}}));
}

TEST_F(Cli, InterruptedSyncLeavesNothingHalfWrittenAndTheNextRunFinishes) {
    const auto src = dir_.path() / "src", copy = dir_.path() / "copy";
    fs::create_directories(src);
    dir_.file("src/0-big.bin", test::randomBytes(80 << 20));  // in parts, and started first
    for (int i = 0; i < 40; ++i)
        dir_.file("src/small-" + std::to_string(i), test::randomBytes(1000 + i));
    // The big file's first part or range goes through; the rest wait until the proxy ends, so
    // that the interrupt always finds it half done, however slowly the machine runs. Its abort
    // is asked to come back a second later: a second signal still sees it through.
    bool aborted = false;
    const test::FaultProxy proxy(server_.host, [&](const test::ServedRequest& request) {
        const bool big = request.target.find("0-big.bin") != std::string::npos,
                   part = request.target.find("partNumber=") != std::string::npos,
                   first = request.target.find("partNumber=1&") != std::string::npos;
        const std::string range = test::headerOf(request.headers, "Range");
        if (big && request.method == "DELETE" && !std::exchange(aborted, true))
            return test::ProxyFault::busy;
        return big && ((part && !first) || (!range.empty() && !range.starts_with("bytes=0-")))
                   ? test::ProxyFault::stall
                   : test::ProxyFault::none;
    });
    const auto throughProxy = awsEnvironment(server_, "http://" + proxy.host());
    // Two at a time: the big file, and the small ones one after another beside it.
    const std::tuple<int, int, std::vector<std::string>> runs[] = {
        {SIGINT, 2, {"--jobs", "2", "sync", src.string(), url()}},
        {SIGHUP, 1, {"--jobs", "2", "sync", url(), copy.string()}}};
    for (const auto& [signal, times, args] : runs) {
        const auto stopped = interrupt(args, "load: ", signal, times, dir_, throughProxy);
        EXPECT_EQ(stopped.exitCode, 130) << describe(stopped);
        EXPECT_EQ(stopped.out.find("0-big.bin"), std::string::npos) << describe(stopped);
        const auto again = quilo(args);
        EXPECT_EQ(again.exitCode, 0) << describe(again);
        EXPECT_NE(again.out.find("0-big.bin"), std::string::npos) << describe(again);
    }
    EXPECT_EQ(awsQuery({"list-multipart-uploads"}, "Uploads"), "None\n");
    EXPECT_EQ(filesBelow(copy), filesBelow(src)) << "a partial or temporary file is left";
}

// A killed upload in parts is carried on by the next run from the parts the service holds,
// as long as each is still the file's; a file written since starts afresh, and the old upload
// goes. What the second run sends is seen at a proxy.
TEST_F(Cli, KilledUploadCarriesOnWithThePartsThatAreStillTheFiles) {
    const auto cache = dir_.path() / "cache";
    // Above the threshold of 64 MiB, in parts of 8 MiB.
    const std::string path = dir_.file("big.bin", test::randomBytes(80 << 20));
    const auto rewriteFirstPart = [&](bool keepTime) {
        const auto time = fs::last_write_time(path);
        std::string bytes = test::readFile(path);
        bytes[1000] = static_cast<char>(~bytes[1000]);
        dir_.file("big.bin", bytes);
        if (keepTime)
            fs::last_write_time(path, time);
    };
    std::vector<std::string> rest = {"complete"};
    for (int part = 3; part <= 10; ++part)
        rest.push_back("part " + std::to_string(part));
    // The options of the second run; other ones make another object, from scratch.
    const std::tuple<const char*, std::function<void()>, std::vector<std::string>,
                     std::vector<std::string>>
        rows[] = {
            {"unchanged", [] {}, {"list"}, {}},
            {"a byte changed, size and time kept",
             [&] { rewriteFirstPart(true); },
             {"list", "part 1"},
             {}},
            {"written since",
             [&] { rewriteFirstPart(false); },
             {"abort", "initiate", "part 1", "part 2"},
             {}},
            {"other options",
             [] {},
             {"abort", "initiate", "part 1", "part 2"},
             {"--acl", "private"}},
        };
    // A journal left a week ago, that no run will read again, goes at the first run's start.
    const auto left = cache / "quilo" / (std::string(64, 'a') + ".journal");
    fs::create_directories(left.parent_path());
    std::ofstream(left) << "quilo-upload-journal 1\n";
    fs::last_write_time(left, fs::file_time_type::clock::now() - std::chrono::hours(192));
    for (const auto& [name, change, sent, options] : rows) {
        SCOPED_TRACE(name);
        bool killed = false;
        std::set<std::string> seen;
        const test::FaultProxy proxy(server_.host, [&](const test::ServedRequest& request) {
            const auto& target = request.target;
            const auto number = target.find("partNumber=");
            const int part = number == std::string::npos ? 0 : std::atoi(&target[number + 11]);
            const std::string what = part > 0                       ? "part " + std::to_string(part)
                                     : request.method == "DELETE"   ? "abort"
                                     : target.ends_with("?uploads") ? "initiate"
                                     : request.method == "GET"      ? "list"
                                                                    : "complete";
            if (killed)
                seen.insert(what);
            return !killed && part > 2 ? test::ProxyFault::stall : test::ProxyFault::none;
        });
        auto environment = awsEnvironment(server_, "http://" + proxy.host());
        environment.push_back("XDG_CACHE_HOME=" + cache.string());
        const std::vector<std::string> args = {"put", path, url("big.bin")};
        const auto twoParts = [&] {
            const std::string id = awsQuery({"list-multipart-uploads"}, "Uploads[0].UploadId");
            return id != "None\n" && !id.empty() &&
                   awsQuery({"list-parts", "--key", "big.bin", "--upload-id",
                             id.substr(0, id.size() - 1)},
                            "length(Parts)") == "2\n";
        };
        const auto stopped = interruptWhen(args, twoParts, SIGKILL, 1, dir_, environment);
        EXPECT_EQ(stopped.exitCode, 128 + SIGKILL) << describe(stopped);
        change();
        killed = true;
        auto second = args;
        second.insert(second.end(), options.begin(), options.end());
        const auto again = quilo(second, environment);
        EXPECT_EQ(again.exitCode, 0) << describe(again);
        std::vector<std::string> expected = sent;
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_EQ(seen, std::set<std::string>(expected.begin(), expected.end()));
        const auto back = quilo({"get", url("big.bin"), (dir_.path() / "back.bin").string()});
        EXPECT_TRUE(back.exitCode == 0 &&
                    test::readFile(dir_.path() / "back.bin") == test::readFile(path));
        EXPECT_EQ(awsQuery({"list-multipart-uploads"}, "Uploads"), "None\n");
        EXPECT_TRUE(fs::is_empty(cache / "quilo")) << "a journal is left";
    }
}

// A killed download in ranges goes on in the file it left, keeping the ranges that still hash
// as the journal noted them; a range changed on disk since is fetched again.
TEST_F(Cli, KilledDownloadGoesOnWithTheRangesThatStillHashAsNoted) {
    const auto cache = dir_.path() / "cache", copy = dir_.path() / "copy.bin";
    const std::string path = dir_.file("big.bin", test::randomBytes(80 << 20));
    ASSERT_EQ(quilo({"put", path, url("big.bin")}).exitCode, 0);
    // The first ranges grow: 1 MiB, then 2 MiB.
    const std::string first = "bytes=0-1048575", second = "bytes=1048576-3145727";
    for (const bool corrupt : {false, true}) {
        SCOPED_TRACE(corrupt ? "a kept range changed on disk" : "kept ranges as written");
        bool killed = false;
        std::set<std::string> ranges;
        const test::FaultProxy proxy(server_.host, [&](const test::ServedRequest& request) {
            const std::string range = test::headerOf(request.headers, "Range");
            if (killed)
                ranges.insert(range);
            return !killed && !range.empty() && range != first && range != second
                       ? test::ProxyFault::stall
                       : test::ProxyFault::none;
        });
        auto environment = awsEnvironment(server_, "http://" + proxy.host());
        environment.push_back("XDG_CACHE_HOME=" + cache.string());
        const std::vector<std::string> args = {"get", url("big.bin"), copy.string()};
        const auto twoNoted = [&] {
            std::error_code none;  // until the tool makes it
            for (const auto& journal : fs::directory_iterator(cache / "quilo", none)) {
                // One being written beside the journal is not noted until it is renamed over.
                if (journal.path().extension() == ".new")
                    continue;
                const std::string text = test::readFile(journal.path());
                return std::count(text.begin(), text.end(), '\n') == 8;  // a head of 6 lines
            }
            return false;
        };
        const auto stopped = interruptWhen(args, twoNoted, SIGKILL, 1, dir_, environment);
        EXPECT_EQ(stopped.exitCode, 128 + SIGKILL) << describe(stopped);
        for (const auto& entry : fs::directory_iterator(dir_.path()))
            if (corrupt && entry.path().extension() == ".partial") {
                std::string bytes = test::readFile(entry.path());
                bytes[10] = static_cast<char>(~bytes[10]);
                std::ofstream(entry.path(), std::ios::binary | std::ios::in) << bytes;
            }
        killed = true;
        const auto again = quilo(args, environment);
        EXPECT_EQ(again.exitCode, 0) << describe(again);
        EXPECT_EQ(ranges.contains(first), corrupt);
        EXPECT_FALSE(ranges.contains(second));
        EXPECT_TRUE(test::readFile(copy) == test::readFile(path));
        for (const auto& [name, bytes] : filesBelow(dir_.path()))
            EXPECT_FALSE(name.ends_with(".partial") || name.starts_with("cache")) << name;
        fs::remove(copy);
    }
}

// Empty segments go, as awscli has it, unless two keys then meet.
TEST_F(Cli, DownloadsStayInTheirDirectoryAndNamesPrintEscaped) {
    const std::string body = dir_.file("body.txt", "x");
    const std::string outside = "t/" + dir_.path().string() + "/abs";  // "/tmp/..." below t/
    for (const std::string& key : std::vector<std::string>{
             "t/../evil", outside, "t/a", "t/a-b", "t/a/b", "t/ok//fine.txt", "t/m//n", "t/m/n",
             "t/m/-x", "t/m//-x",  // the second lists after the first, and saves at the same path
             "t/esc\x1b[2J", "t/back\\slash", "t/c1\xc2\x85", "t/del\x7f", "t/m//.git/f05",
             "t/m//.git/solo"})  // listed ahead once m/.git's many wait
        ASSERT_EQ(quilo({"put", body, url(key)}).exitCode, 0) << key;
    test::aws(server_, {"s3api", "put-object", "--bucket", bucket_, "--key", "t/dir/"});
    std::set<std::string> dotted{"m/.git/solo"};
    fs::create_directories(dir_.path() / "dotted");
    for (int i = 0; i < 70; ++i) {
        const auto name = (i < 10 ? "f0" : "f") + std::to_string(i);
        dir_.file("dotted/" + name, "x");
        dotted.insert("m/.git/" + name);
    }
    dotted.erase("m/.git/f05");
    ASSERT_EQ(quilo({"put", "-r", (dir_.path() / "dotted").string(), url("t/m/.git")}).exitCode, 0);

    const auto out = dir_.path() / "out";
    const auto got = quilo({"get", "-r", url("t"), out.string()});
    EXPECT_EQ(got.exitCode, 1) << describe(got);
    EXPECT_EQ(std::count(got.err.begin(), got.err.end(), '\n'), 8)
        << "../evil, a, m//n, m/n, m/-x, m//-x, m/.git/f05, m//.git/f05" << got.err;
    EXPECT_FALSE(fs::exists(dir_.path() / "evil") || fs::exists(dir_.path() / "abs"));
    std::set<std::string> saved;
    for (const auto& [path, content] : filesBelow(out))
        saved.insert(path);
    dotted.insert({"a-b", "a/b", "back\\slash", "c1\xc2\x85", "del\x7f", "esc\x1b[2J",
                   "ok/fine.txt", outside.substr(3)});
    EXPECT_EQ(saved, dotted);
    EXPECT_FALSE(fs::exists(out / "dir"));
    // On a terminal, the progress bar's label is escaped too.
    auto terminal = awsEnvironment(server_);
    terminal.insert(terminal.end(),
                    {std::string("QUILO=") + QUILO_CLI_PATH, "KEY=" + url("t/esc\x1b[2J")});
    const auto drawn = test::run(
        {"script", "-qec", "\"$QUILO\" get \"$KEY\" " + (out / "drawn").string(), "/dev/null"},
        terminal);
    EXPECT_NE(drawn.out.find("esc\\x1b[2J  "), std::string::npos) << drawn.out;
    EXPECT_EQ(drawn.out.find('\x1b'), std::string::npos) << drawn.out;

    // The same reversible escapes in text and JSON; no control character reaches the terminal.
    const auto text = quilo("ls --recursive " + url("t/"));
    const auto document = json::parse(quilo("--output json ls " + url("t/")).out);
    EXPECT_EQ((text.out + got.out).find('\x1b'), std::string::npos);
    for (const std::string key :
         {"t/esc\\x1b[2J", "t/back\\\\slash", "t/c1\\xc2\\x85", "t/del\\x7f"}) {
        EXPECT_NE(text.out.find("  " + key + "\n"), std::string::npos) << key << text.out;
        EXPECT_EQ(std::count_if(document["objects"].begin(), document["objects"].end(),
                                [&](const json& object) { return object["key"] == key; }),
                  1)
            << key;
    }
    // A name that is not UTF-8 (RGW refuses it as a key) in a JSON summary.
    fs::create_directories(dir_.path() / "bad");
    dir_.file("bad/bad\xff.txt", "x");
    const auto refused =
        quilo({"--output", "json", "put", "-r", (dir_.path() / "bad").string(), url()});
    EXPECT_EQ(refused.exitCode, 1) << describe(refused);
    EXPECT_TRUE(
        json::parse(refused.out)["failed"][0]["from"].get<std::string>().ends_with("bad\\xff.txt"))
        << refused.out;
}

// A listing from a server of the test's own: a key outside the prefix asked for, dates with an
// offset, dates that cannot be read, and one that would rewrite the terminal.
TEST(CliListings, AreReadAsTheyMayBe) {
    const test::TempDir dir;
    const auto entry = [](const std::string& key, const std::string& date) {
        return "<Contents><Key>" + key + "</Key><LastModified>" + date +
               "</LastModified><Size>2</Size></Contents>";
    };
    const std::string listing = "<ListBucketResult><IsTruncated>false</IsTruncated>" +
                                entry("t/esc", "\x1b]0;pwned\x07") + entry("t/odd", "yesterday") +
                                entry("t/offset", "2024-05-01T12:20:30.250+02:00") +
                                entry("other/x", "2024-05-01T10:20:30Z") + "</ListBucketResult>";
    test::FaultServer server([&](const test::ServedRequest& request) {
        const bool listed = request.method == "GET" && request.target.starts_with("/b?");
        return FaultAction::reply(request.method == "DELETE" ? 204 : 200, listed ? listing
                                                                          : request.method == "GET"
                                                                              ? "ok"
                                                                              : "<DeleteResult/>");
    });
    const auto environment = environmentWith(
        {"AWS_ENDPOINT_URL=" + server.url(""), "AWS_ACCESS_KEY_ID=k", "AWS_SECRET_ACCESS_KEY=s"});
    const auto out = dir.path() / "out";
    fs::create_directories(out);
    dir.file("out/odd", "ok");  // as new as can be, but its object's time cannot be read
    const auto synced = quilo({"--output", "json", "sync", "s3://b/t", out.string()}, environment);
    EXPECT_EQ(synced.exitCode, 1) << describe(synced);
    EXPECT_EQ(actions(synced, {out.string() + "/"}),
              (std::vector<std::string>{"download esc", "download odd", "download offset"}));
    EXPECT_EQ(fs::last_write_time(out / "offset"),
              std::chrono::file_clock::from_sys(
                  std::chrono::sys_seconds(std::chrono::seconds(1714558830)) +
                  std::chrono::milliseconds(250)));
    const auto listed = quilo("ls s3://b/t/", environment);
    EXPECT_EQ(listed.out.find('\x1b'), std::string::npos) << listed.out;
    EXPECT_EQ(quilo("rm -r s3://b/t", environment).exitCode, 1);
    for (const auto& request : server.requests())
        EXPECT_EQ((request.target + request.body).find("/x"), std::string::npos) << request.body;
    EXPECT_EQ(filesBelow(dir.path()).size(), 3u) << "nothing but out/";
}

// s3rver names a common prefix again on the page after the one that ended inside it.
TEST(CliListings, NameEachPrefixOnce) {
    const Server server = test::s3rver();
    const auto environment = awsEnvironment(server);
    const auto bucket = "s3://" + test::uniqueBucketName("prefixes");
    ASSERT_EQ(quilo("mb " + bucket, environment).exitCode, 0);
    const test::TempDir dir;
    const auto file = dir.file("f", "x");
    for (const char* key : {"a", "d/a", "d/b", "e"})
        EXPECT_EQ(quilo("put " + file + " " + bucket + "/" + key, environment).exitCode, 0);
    for (const char* output : {"text", "json"}) {
        const auto listed =
            quilo("--output " + std::string(output) + " ls --page-size 1 " + bucket, environment);
        const auto first = listed.out.find("d/");
        EXPECT_TRUE(first != std::string::npos &&
                    listed.out.find("d/", first + 1) == std::string::npos)
            << describe(listed);
    }
    test::aws(server, {"s3", "rb", "--force", bucket});
}

TEST_F(Cli, SettingsComeFromFlagsEnvironmentAndProfilesAsAwscliHasThem) {
    const auto keys = [](const std::string& id, const std::string& secret) {
        return "aws_access_key_id = " + id + "\naws_secret_access_key = " + secret + "\n";
    };
    // As long as real temporary tokens are, and never cut.
    const std::string token = "IQoJb3JpZ2lu" + std::string(1200, 'x') + "Zend==";
    const std::vector<std::string> files = {
        "AWS_SHARED_CREDENTIALS_FILE=" +
            dir_.file("credentials", "[default]\n" + keys("DEFAULTKEY", "s") + "[dev]\n" +
                                         keys("DEVKEY", "s") + "aws_session_token = T\n[rgw]\n" +
                                         keys(server_.accessKey, server_.secretKey) + "[long]\n" +
                                         keys("LONGKEY", "s") + "aws_session_token = " + token +
                                         "\n"),
        "AWS_CONFIG_FILE=" + dir_.file("config",
                                       "[default]\nregion = r-default\n[profile dev]\n"
                                       "region = r-dev\n[profile rgw]\nendpoint_url = " +
                                           server_.endpoint() + "\n")};
    const auto with = [&](std::vector<std::string> environment) {
        environment.insert(environment.end(), files.begin(), files.end());
        return environmentWith(environment);
    };
    const std::vector<std::string> variables = {"AWS_ACCESS_KEY_ID=ENVKEY",
                                                "AWS_SECRET_ACCESS_KEY=s", "AWS_SESSION_TOKEN=T"};
    auto named = variables;
    named.push_back("AWS_PROFILE=dev");
    struct Case {
        std::string flags;
        std::vector<std::string> environment;
        std::string keysFrom, tokenFrom, region;
    } cases[] = {
        {"", {}, "profile default", "", "r-default"},
        {"", variables, "AWS_ACCESS_KEY_ID", "AWS_SESSION_TOKEN", "r-default"},
        {"--profile dev", variables, "profile dev", "profile dev", "r-dev"},
        {"", named, "profile dev", "profile dev", "r-dev"},
        {"--profile dev --access-key K --secret-key s --region r-flag", variables, "--access-key",
         "", "r-flag"},
        {"", {"AWS_REGION=r-env"}, "profile default", "", "r-env"},
    };
    for (const auto& c : cases) {
        const auto shown = quilo(c.flags + " --output json config", with(c.environment));
        ASSERT_EQ(shown.exitCode, 0) << c.flags << describe(shown);
        const auto settings = json::parse(shown.out);
        EXPECT_TRUE(settings["access_key"]["source"].get<std::string>().starts_with(c.keysFrom))
            << c.flags << shown.out;
        EXPECT_TRUE(settings["session_token"]["source"].get<std::string>().starts_with(c.tokenFrom))
            << c.flags << shown.out;
        EXPECT_EQ(settings["region"]["value"], c.region) << c.flags;
    }

    const auto shown = json::parse(quilo("--profile long --output json config", with({})).out);
    EXPECT_EQ(shown["session_token"]["value"], std::string(token.size() - 4, '*') + "nd==");
    const auto listed = quilo("--profile rgw ls", with({}));
    EXPECT_NE(listed.out.find("  " + bucket_ + "\n"), std::string::npos) << describe(listed);
    const auto missing = quilo("--profile nope ls", with({}));
    EXPECT_EQ(missing.exitCode, 2) << describe(missing);
    EXPECT_NE(missing.err.find("'nope'"), std::string::npos) << missing.err;
    const auto endpoint = "AWS_ENDPOINT_URL=" + server_.endpoint();
    const auto none = quilo("ls", environmentWith({endpoint}));
    EXPECT_EQ(none.exitCode, 1) << describe(none);
    EXPECT_EQ(std::count(none.err.begin(), none.err.end(), '\n'), 1) << none.err;
    EXPECT_NE(none.err.find("--no-sign-request"), std::string::npos) << none.err;
    const auto anonymous = quilo("--no-sign-request ls " + url(), environmentWith({endpoint}));
    EXPECT_NE(anonymous.err.find("AccessDenied"), std::string::npos) << describe(anonymous);
}

// Tokens of each line, so that two tools' listings compare whatever their column widths.
std::vector<std::vector<std::string>> tokens(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        lines.emplace_back(std::istream_iterator<std::string>(words),
                           std::istream_iterator<std::string>());
    }
    return lines;
}

TEST_F(Cli, PipesStreamBothWaysAndAClosedReaderEndsQuietly) {
    const std::string data = test::randomBytes(3 << 20);
    test::aws(server_, {"s3", "cp", dir_.file("data.bin", data), url("data.bin")});
    for (const std::string& line : {"cat " + url("data.bin"), "get " + url("data.bin") + " -"}) {
        const auto result = quilo(line);
        EXPECT_TRUE(result.exitCode == 0 && result.out == data) << line << describe(result);
    }
    auto environment = awsEnvironment(server_);
    environment.insert(environment.end(),
                       {std::string("QUILO=") + QUILO_CLI_PATH, "URL=" + url("data.bin"),
                        "DIR=" + dir_.path().string()});
    const std::string headed =
        "\"$QUILO\" cat \"$URL\" | head -c 10 >/dev/null; echo ${PIPESTATUS[0]}";
    const struct {
        std::string line, out;
    } shells[] = {
        // The shell's own status for a writer whose reader left (128 + SIGPIPE), and no word of
        // it, whether SIGPIPE comes ignored or not.
        {headed, "141\n"},
        {"trap '' PIPE; " + headed, "141\n"},
        // A file opened for appending keeps what it had.
        {"cd \"$DIR\" && echo x >out && \"$QUILO\" cat \"$URL\" >>out && "
         "tail -c +3 out | cmp - data.bin && head -c 2 out",
         "x\n"},
    };
    for (const auto& shell : shells) {
        const auto result = test::run({"bash", "-c", shell.line}, environment);
        EXPECT_EQ(result.out, shell.out) << shell.line << describe(result);
        EXPECT_EQ(result.err, "") << shell.line;
    }
}

// Each step starts from what the one before left; the keys as awscli lists them after it.
TEST_F(Cli, CpAndMvGoEveryWayAndMoveOnlyWhatArrivedWhole) {
    const auto tree = dir_.path() / "tree", down = dir_.path() / "down";
    fs::create_directories(tree / "sub");
    dir_.file("tree/a.txt", "a"), dir_.file("tree/sub/b.txt", "bb");
    const std::string one = dir_.file("one.txt", "one"), moving = dir_.file("moving.txt", "m");
    const auto keys = [&] { return awsQuery({"list-objects"}, "Contents[].[Key]"); };
    const struct {
        std::vector<std::string> args;
        std::string keys;
    } steps[] = {
        {{"cp", one, url("c/")}, "c/one.txt\n"},
        {{"cp", "-r", tree.string(), url("t")}, "c/one.txt\nt/a.txt\nt/sub/b.txt\n"},
        {{"cp", "-r", url("t/"), url("copy/")},
         "c/one.txt\ncopy/a.txt\ncopy/sub/b.txt\nt/a.txt\nt/sub/b.txt\n"},
        {{"mv", "-r", url("copy"), url("moved")},
         "c/one.txt\nmoved/a.txt\nmoved/sub/b.txt\nt/a.txt\nt/sub/b.txt\n"},
        {{"mv", "-r", url("moved/"), down.string()}, "c/one.txt\nt/a.txt\nt/sub/b.txt\n"},
        {{"mv", url("c/one.txt"), url("one.txt")}, "one.txt\nt/a.txt\nt/sub/b.txt\n"},
        {{"mv", moving, url()}, "moving.txt\none.txt\nt/a.txt\nt/sub/b.txt\n"},
        {{"cp", url("moving.txt"), (dir_.path() / "back.txt").string()},
         "moving.txt\none.txt\nt/a.txt\nt/sub/b.txt\n"},
    };
    for (const auto& step : steps) {
        const auto result = quilo(step.args);
        EXPECT_EQ(result.exitCode, 0) << step.args[0] << " " << step.args[1] << describe(result);
        EXPECT_EQ(keys(), step.keys) << step.args[0] << " " << step.args[1];
    }
    EXPECT_EQ(filesBelow(down), filesBelow(tree));
    EXPECT_FALSE(fs::exists(moving));
    EXPECT_EQ(test::readFile(dir_.path() / "back.txt"), "m");

    // A destination that cannot be checked (every HEAD refused) keeps its source.
    const test::FaultProxy proxy(server_.host, [](const test::ServedRequest& request) {
        return request.method == "HEAD" ? test::ProxyFault::reset : test::ProxyFault::none;
    });
    const auto throughProxy = awsEnvironment(server_, "http://" + proxy.host());
    const std::string kept = dir_.file("kept.txt", "k");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"mv", kept, url("kept.txt")},
          {"mv", url("one.txt"), (dir_.path() / "one-back.txt").string()}}) {
        const auto refused = quilo(args, throughProxy);
        EXPECT_EQ(refused.exitCode, 1) << args[1] << describe(refused);
    }
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_EQ(keys(), "kept.txt\nmoving.txt\none.txt\nt/a.txt\nt/sub/b.txt\n");
}

// The same listings as awscli's, token for token.
TEST_F(Cli, ListingsReadAsAwscliWrites) {
    for (const auto& [key, size] : std::vector<std::pair<std::string, std::size_t>>{
             {"a.txt", 3}, {"big.bin", 3000}, {"dir/b.txt", 1}, {"dir/sub/c.txt", 2048}})
        ASSERT_EQ(quilo({"put", dir_.file("f", std::string(size, 'x')), url(key)}).exitCode, 0);
    ::setenv("TZ", "UTC", 1);  // awscli prints local times, and the runs inherit it
    const std::vector<std::vector<std::string>> listings = {
        {url()},
        {url("dir/")},
        {url("dir")},
        {url(), "--recursive"},
        {url(), "--recursive", "--human-readable", "--summarize"},
        {url("dir/"), "--summarize"}};
    for (const auto& args : listings) {
        std::vector<std::string> ours = {"ls"}, theirs = {"s3", "ls"};
        ours.insert(ours.end(), args.begin(), args.end());
        theirs.insert(theirs.end(), args.begin(), args.end());
        const auto listed = quilo(ours), expected = test::aws(server_, theirs);
        EXPECT_EQ(tokens(listed.out), tokens(expected.out))
            << args.back() << describe(listed) << expected.out;
    }
    const auto du = quilo("du " + url("dir"));
    EXPECT_EQ(tokens(du.out), tokens("2049 2 objects " + url("dir")));
    const auto stat = json::parse(quilo("--output json stat " + url("dir/sub/c.txt")).out);
    EXPECT_EQ(stat["size"], 2048);
    EXPECT_EQ("\"" + stat["etag"].get<std::string>() + "\"\t" +
                  stat["contentType"].get<std::string>() + "\n",
              awsQuery({"head-object", "--key", "dir/sub/c.txt"}, "[ETag,ContentType]"));
}

TEST_F(Cli, VersionsAndTagsAreThoseAwscliSees) {
    const std::string file = dir_.file("v.txt", "v1");
    struct Step {
        std::vector<std::string> args, command;  // ours, then awscli's s3api command
        std::string query, expected;
    };
    const std::vector<std::string> tagging = {"get-object-tagging", "--key", "t.txt"};
    // Tags first: RGW removes no tags of a versioned bucket's object without a version id.
    const Step steps[] = {
        {{"put", file, url("t.txt")}, {"list-object-versions"}, "length(Versions)", "1\n"},
        {{"tag", "set", url("t.txt"), "team=blue", "tier=2"},
         tagging,
         "TagSet[].[Key,Value]",
         "team\tblue\ntier\t2\n"},
        {{"tag", "rm", url("t.txt")}, tagging, "length(TagSet)", "0\n"},
        {{"versioning", "enable", url()}, {"get-bucket-versioning"}, "Status", "Enabled\n"},
        {{"put", file, url("v.txt")}, {"list-object-versions"}, "length(Versions)", "2\n"},
        {{"put", file, url("v.txt")}, {"list-object-versions"}, "length(Versions)", "3\n"},
        {{"rm", url("v.txt")}, {"list-object-versions"}, "length(DeleteMarkers)", "1\n"},
        {{"versioning", "suspend", url()}, {"get-bucket-versioning"}, "Status", "Suspended\n"},
    };
    for (const auto& step : steps) {
        const auto result = quilo(step.args);
        EXPECT_EQ(result.exitCode, 0) << step.args[0] << describe(result);
        EXPECT_EQ(awsQuery(step.command, step.query), step.expected)
            << step.args[0] << " " << step.args[1];
    }
    EXPECT_EQ(quilo("versioning status " + url()).out, "Suspended\n");
    // Every version and marker, newest first per key, with the ids awscli gives.
    const auto listed = json::parse(quilo("--output json ls --versions " + url()).out);
    std::string ids;
    for (const auto& version : listed["versions"]) {
        ids += ids.empty() ? "" : "\t";
        ids += version["versionId"].get<std::string>();
    }
    EXPECT_EQ(ids + "\n", awsQuery({"list-object-versions"},
                                   "sort_by([DeleteMarkers[], Versions[]][], &Key)[].VersionId"))
        << listed.dump();
}

TEST_F(Cli, UploadsLeftBehindAreListedAndAbortedAsAwscliSees) {
    std::vector<std::string> ids;
    for (const char* key : {"up/one", "up/two", "other"})
        ids.push_back(awsQuery({"create-multipart-upload", "--key", key}, "UploadId"));
    const auto listed = quilo("mpu ls " + url("up/"));
    EXPECT_EQ(tokens(listed.out).size(), 2u) << describe(listed);
    for (int i = 0; i < 2; ++i)
        EXPECT_NE(listed.out.find(ids[i].substr(0, ids[i].size() - 1) + "  up/"), std::string::npos)
            << listed.out;
    const auto uploads = [&] { return awsQuery({"list-multipart-uploads"}, "Uploads[].Key"); };
    const struct {
        std::vector<std::string> args;
        std::string left;
    } steps[] = {
        {{"mpu", "abort", url("up/one"), ids[0].substr(0, ids[0].size() - 1)}, "other\tup/two\n"},
        {{"mpu", "abort", "--all", url(), "--older-than", "1d"}, "other\tup/two\n"},
        {{"mpu", "abort", "--all", url("up/")}, "other\n"},
        {{"mpu", "abort", "--all", url()}, "None\n"},
    };
    for (const auto& step : steps) {
        const auto result = quilo(step.args);
        EXPECT_EQ(result.exitCode, 0) << step.args[2] << describe(result);
        EXPECT_EQ(uploads(), step.left) << step.args[2];
    }
}

// Each kind from a file and back, as the service then holds it for another client.
TEST_F(Cli, BucketConfigurationsGoFromFilesAndBack) {
    const std::string policy =
        R"({"Version":"2012-10-17","Statement":[{"Effect":"Allow","Principal":"*",)"
        R"("Action":"s3:GetObject","Resource":"arn:aws:s3:::)" +
        bucket_ + R"(/pub/*"}]})";
    const json cors = {{"CORSRules",
                        {{{"AllowedMethods", {"GET", "PUT"}},
                          {"AllowedOrigins", {"https://example.com"}},
                          {"ExposeHeaders", {"ETag"}},
                          {"MaxAgeSeconds", 60}}}}};
    const json lifecycle = {{"Rules",
                             {{{"ID", "tagged"},
                               {"Status", "Enabled"},
                               {"Filter", {{"Tag", {{"Key", "t"}, {"Value", "v"}}}}},
                               {"Expiration", {{"Days", 30}}}},
                              {{"ID", "uploads"},
                               {"Status", "Disabled"},
                               {"Filter", {{"Prefix", "tmp/"}}},
                               {"AbortIncompleteMultipartUpload", {{"DaysAfterInitiation", 2}}}}}}};
    // boto3 for lifecycle: awscli 1.x stops at RGW's answer.
    const std::string boto = "import boto3, json, sys; c = boto3.client('s3', endpoint_url='" +
                             server_.endpoint() +
                             "'); r = c.get_bucket_lifecycle_configuration(Bucket='" + bucket_ +
                             "'); print(json.dumps({'Rules': r['Rules']}))";
    const struct {
        std::string kind, document;
        std::function<std::string()> theirs;
    } kinds[] = {
        {"policy", policy,
         [&] {
             return test::aws(server_, {"s3api", "get-bucket-policy", "--bucket", bucket_,
                                        "--query", "Policy", "--output", "text"})
                 .out;
         }},
        {"cors", cors.dump(),
         [&] {
             return test::aws(server_, {"s3api", "get-bucket-cors", "--bucket", bucket_}).out;
         }},
        {"lifecycle", lifecycle.dump(),
         [&] {
             return test::run({"python3", "-c", boto}, awsEnvironment(server_)).out;
         }},
    };
    for (const auto& [kind, document, theirs] : kinds) {
        const auto set = quilo({kind, "set", url(), dir_.file(kind + ".json", document)});
        EXPECT_EQ(set.exitCode, 0) << kind << describe(set);
        const auto got = quilo({kind, "get", url()});
        EXPECT_EQ(json::parse(got.out), json::parse(document)) << kind << got.out;
        EXPECT_EQ(json::parse(theirs()), json::parse(document)) << kind;
        EXPECT_EQ(quilo({kind, "rm", url()}).exitCode, 0) << kind;
        EXPECT_EQ(quilo({kind, "get", url()}).exitCode, 1) << kind;
    }
    const auto unknown = quilo({"cors", "set", url(), dir_.file("bad.json", R"({"CORSRule":[]})")});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("CORSRule "), std::string::npos) << unknown.err;
}

// Part sizes as given, then sync --checksum against ETags of every kind: a plain MD5, awscli's
// parts of 8 MiB found again, and parts of a size no client is known for, compared by time.
TEST_F(Cli, UploadsTakeTheirPartSizesAndChecksumsFindWhatChanged) {
    const auto src = dir_.path() / "src";
    fs::create_directories(src);
    dir_.file("src/small.txt", "same size"),
        dir_.file("src/aws.bin", test::randomBytes(20 << 20, 2));
    dir_.file("src/odd.bin", test::randomBytes(30 << 20, 3));
    const auto put = quilo({"put", "--part-size", "6MiB", "--multipart-threshold", "5MiB",
                            (src / "odd.bin").string(), (src / "small.txt").string(), url("p/")});
    ASSERT_EQ(put.exitCode, 0) << describe(put);
    test::aws(server_, {"s3", "cp", (src / "aws.bin").string(), url("p/aws.bin")});
    for (const auto& [key, parts] : {std::pair("aws.bin", "-3\"\n"), {"odd.bin", "-5\"\n"}})
        EXPECT_TRUE(
            awsQuery({"head-object", "--key", std::string("p/") + key}, "ETag").ends_with(parts))
            << key;

    const auto now = std::chrono::file_clock::now();
    dir_.file("src/small.txt", "SAME SIZE");
    fs::last_write_time(src / "small.txt", now - std::chrono::hours(1));
    for (const char* name : {"aws.bin", "odd.bin"})
        fs::last_write_time(src / name, now + std::chrono::hours(1));
    const struct {
        std::vector<std::string> options, expected;
    } runs[] = {
        {{"--dryrun"}, {"upload aws.bin", "upload odd.bin"}},
        {{"--checksum"}, {"upload odd.bin", "upload small.txt"}},
    };
    for (const auto& run : runs) {
        std::vector<std::string> args = {"--output", "json", "sync", src.string(), url("p")};
        args.insert(args.end(), run.options.begin(), run.options.end());
        const auto synced = quilo(args);
        EXPECT_EQ(actions(synced, {url("p/")}), run.expected) << describe(synced);
        EXPECT_EQ(synced.err.find("aws.bin"), std::string::npos) << synced.err;
    }
    EXPECT_EQ(test::aws(server_, {"s3", "cp", url("p/small.txt"), "-"}).out, "SAME SIZE");
}

TEST_F(Cli, CompletionOffersCommandsOptionsBucketsAndKeys) {
    for (const char* key : {"dir/a.txt", "dir/my file.txt"})
        ASSERT_EQ(quilo({"put", dir_.file("a.txt", "a"), url(key)}).exitCode, 0);
    auto environment = awsEnvironment(server_);
    environment.push_back("SCRIPT=" + quilo("completion bash").out);
    const std::string tool = QUILO_CLI_PATH;
    // bash takes each word from its last ':' on.
    const std::string here = "//" + bucket_;
    const std::pair<std::string, std::string> rows[] = {
        {"versi", "versioning"},
        {"tag s", "set"},
        {"acl set --gr", "--grant"},
        {"ls --summ", "--summarize"},
        {"--output json ls --hu", "--human-readable"},
        {"ls " + url().substr(0, url().size() - 3), here + "/"},
        {"cp " + url("di"), here + "/dir/"},
        {"cp " + url("dir/"), here + "/dir/a.txt"},
        // One word to the shell, typed with its space escaped or not yet.
        {"cp " + url("dir/my"), here + "/dir/my\\ file.txt"},
        {"cp " + url("dir/my\\ f"), here + "/dir/my\\ file.txt"},
    };
    for (const auto& [typed, expected] : rows) {
        auto withLine = environment;
        withLine.push_back("LINE=" + tool + " " + typed);
        const auto offered = test::run(
            {"bash", "-c",
             "source <(printf %s \"$SCRIPT\"); COMP_LINE=$LINE; COMP_POINT=${#LINE}; _quilo; "
             "printf '%s\\n' \"${COMPREPLY[@]}\""},
            withLine);
        EXPECT_NE(("\n" + offered.out).find("\n" + expected + "\n"), std::string::npos)
            << typed << describe(offered);
    }
    for (const std::vector<std::string>& check :
         {std::vector<std::string>{"zsh", "-n"}, {"fish", "--no-execute"}}) {
        const auto script = dir_.file(check[0], quilo({"completion", check[0]}).out);
        const auto parsed = test::run({check[0], check[1], script});
        EXPECT_EQ(parsed.exitCode, 0) << check[0] << describe(parsed);
    }
    // The man page is made from --help-all: every command's own options, at every depth.
    const auto help = quilo("--help-all").out;
    for (const auto& [command, option] :
         std::vector<std::pair<std::string, std::string>>{{"quilo acl set", "--grant"},
                                                          {"quilo meta set", "NAME=VALUE"},
                                                          {"quilo mpu abort", "--older-than"},
                                                          {"quilo tag set", "--version-id"},
                                                          {"quilo cp", "--multipart-threshold"}}) {
        const auto at = help.find("\n" + command + "\n");
        EXPECT_NE(help.find(option, at), std::string::npos) << command;
        EXPECT_LT(help.find(option, at), help.find("\nquilo ", at + 1)) << command;
    }
}

// With --output json, each failure's code, status, request id and message stand apart.
TEST_F(Cli, JsonFailuresKeepTheirPartsApart) {
    const std::string missing = "s3://" + bucket_ + "-missing/k";
    const struct {
        std::vector<std::string> args;
        bool inSummary;  // in the document on stdout, else a line on stderr
        int status;
        std::string code;
    } rows[] = {
        {{"stat", url("nothing")}, false, 404, ""},
        {{"tag", "get", missing}, false, 404, "NoSuchBucket"},
        {{"put", dir_.file("f.txt", "f"), missing}, true, 404, "NoSuchBucket"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = {"--output", "json"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        const auto result = quilo(args);
        EXPECT_EQ(result.exitCode, 1) << row.args[0] << describe(result);
        const auto failure =
            row.inSummary ? json::parse(result.out)["failed"][0] : json::parse(result.err);
        EXPECT_EQ(failure["httpStatus"], row.status) << failure.dump();
        EXPECT_FALSE(failure["requestId"].get<std::string>().empty()) << failure.dump();
        EXPECT_TRUE(row.code.empty() || failure["code"] == row.code) << failure.dump();
    }
}

// Each option of an upload as another client reads it back from the object it made.
TEST_F(Cli, UploadOptionsArriveAsAwscliReadsThem) {
    const std::string file = dir_.file("f.txt", "text"), tree = (dir_.path() / "tree").string();
    fs::create_directories(tree);
    dir_.file("tree/s.txt", "synced");
    const struct {
        std::vector<std::string> args;
        std::string key, query, expected;
    } rows[] = {
        {{"put",        "--content-type",        "text/x-q",    "--cache-control",
          "max-age=60", "--content-disposition", "attachment",  "--content-encoding",
          "identity",   "--content-language",    "fr",          "--metadata",
          "a=1,b=two",  "--storage-class",       "STANDARD_IA", "--sse",
          "aws:kms",    "--sse-kms-key-id",      "testkey-1",   file,
          url("put")},
         "put",
         "[ContentType,CacheControl,ContentDisposition,ContentEncoding,ContentLanguage,Metadata.a,"
         "Metadata.b,StorageClass,ServerSideEncryption,SSEKMSKeyId]",
         "text/"
         "x-q\tmax-age=60\tattachment\tidentity\tfr\t1\ttwo\tSTANDARD_IA\taws:kms\ttestkey-1\n"},
        {{"cp", "--metadata", R"({"k": "v, w"})", file, url("cp")},
         "cp",
         "[ContentType,Metadata.k]",
         "text/plain\tv, w\n"},
        {{"cp", "--content-type", "x/copied", "--metadata", "c=3", url("cp"), url("copy")},
         "copy",
         "[ContentType,Metadata.c]",
         "x/copied\t3\n"},
        {{"mv", "--cache-control", "no-cache", dir_.file("m.bin", "m"), url("mv")},
         "mv",
         "CacheControl",
         "no-cache\n"},
        {{"sync", "--content-encoding", "gzip", tree, url("sync")},
         "sync/s.txt",
         "ContentEncoding",
         "gzip\n"},
    };
    for (const auto& row : rows) {
        const auto result = quilo(row.args);
        EXPECT_EQ(result.exitCode, 0) << row.key << describe(result);
        EXPECT_EQ(awsQuery({"head-object", "--key", row.key}, row.query), row.expected) << row.key;
    }
    // Values that cannot be sent are the command line's fault, found before anything is.
    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{"--sse", "AES128"},
          {"--metadata", "a=1,b"},
          {"--metadata", "=1"},
          {"--metadata", "[1]"},
          {"--storage-class", "cold"},
          {"--sse-c-key", "short"},
          {"--sse", "AES256", "--sse-c-key", std::string(32, 'k')}}) {
        auto args = wrong;
        args.insert(args.begin(), "put");
        args.insert(args.end(), {file, url("wrong")});
        EXPECT_EQ(quilo(args).exitCode, 2) << wrong[0] << " " << wrong[1];
    }
}

// A key of one's own goes up and comes back by every command that reads; a version by its id.
TEST_F(Cli, CustomerKeysAndVersionsReachTheObjectsTheyName) {
    const std::string key(32, 'k'), data = test::randomBytes(6 << 20, 4);
    const std::string keyFile = dir_.file("key", key), file = dir_.file("d.bin", data);
    // mv reads back what it wrote before it removes the file: with the same key.
    ASSERT_EQ(quilo({"mv", "--sse-c-key", key, "--part-size", "5MiB", "--multipart-threshold",
                     "5MiB", file, url("secret")})
                  .exitCode,
              0);
    EXPECT_EQ(test::aws(server_, {"s3api", "head-object", "--bucket", bucket_, "--key", "secret",
                                  "--sse-customer-algorithm", "AES256", "--sse-customer-key", key,
                                  "--query", "SSECustomerAlgorithm", "--output", "text"})
                  .out,
              "AES256\n");
    const auto base64 = test::run({"base64", "-w0", keyFile}).out;
    const auto out = (dir_.path() / "out").string();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"cat", "--sse-c", "AES256", "--sse-c-key", key, url("secret")},
          {"get", "--sse-c-key", "fileb://" + keyFile, url("secret"), out},
          {"mv", "--sse-c-key", base64, url("secret"), out}}) {
        fs::remove(out);
        const auto result = quilo(args);
        EXPECT_EQ(result.exitCode, 0) << args[0] << describe(result).substr(0, 400);
        EXPECT_TRUE((args[0] == "cat" ? result.out : test::readFile(out)) == data) << args[0];
    }
    EXPECT_EQ(awsQuery({"list-objects"}, "Contents[].Key"), "None\n");

    ASSERT_EQ(quilo("versioning enable " + url()).exitCode, 0);
    for (const char* content : {"one", "two", "three"})
        quilo({"put", dir_.file("v", content), url("v")});
    std::vector<std::string> ids;  // newest first
    for (const auto& line : tokens(awsQuery({"list-object-versions"}, "Versions[].[VersionId]")))
        ids.push_back(line.at(0));
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(quilo({"cat", "--version-id", ids[2], url("v")}).out, "one");
    EXPECT_EQ(json::parse(quilo({"--output", "json", "stat", "--version-id", ids[1], url("v")}).out)
                  .value("versionId", ""),
              ids[1]);
    EXPECT_EQ(quilo({"cp", "--version-id", ids[1], url("v"), url("old")}).exitCode, 0);
    EXPECT_EQ(test::aws(server_, {"s3", "cp", url("old"), "-"}).out, "two");
    EXPECT_EQ(quilo({"rm", "--version-id", ids[0], url("v")}).exitCode, 0);
    EXPECT_EQ(quilo({"cat", url("v")}).out, "two");
}

// Standard input of a length unknown beforehand, in parts of the size asked for or of one large
// enough for the length expected.
TEST_F(Cli, StandardInputGoesUpInPartsSizedForItsLength) {
    const std::string data = test::randomBytes(11 << 20, 5);
    auto environment = awsEnvironment(server_);
    environment.insert(environment.end(),
                       {std::string("QUILO=") + QUILO_CLI_PATH, "FILE=" + dir_.file("in.bin", data),
                        "URL=" + url("in")});
    // 11 MiB parts hold it all: one PUT, whose ETag has no part count.
    const std::pair<std::string, std::string> rows[] = {
        {"--part-size 5MiB", "-3\"\n"},
        {"--part-size 5MiB --expected-size 100GiB", "\"\n"},
        {"", "-2\"\n"}};
    for (const auto& [options, parts] : rows) {
        const auto put =
            test::run({"bash", "-c", "cat \"$FILE\" | \"$QUILO\" put " + options + " - \"$URL\""},
                      environment);
        EXPECT_EQ(put.exitCode, 0) << options << describe(put);
        const auto etag = awsQuery({"head-object", "--key", "in"}, "ETag");
        EXPECT_TRUE(etag.ends_with(parts) && (parts.size() > 3 || etag.find('-') == etag.npos))
            << options << etag;
    }
    EXPECT_TRUE(test::aws(server_, {"s3", "cp", url("in"), "-"}).out == data);
    EXPECT_EQ(quilo({"mv", "-", url("in")}).exitCode, 2);
}

}  // namespace
}  // namespace quilo
