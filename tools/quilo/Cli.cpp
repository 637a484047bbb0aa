#include "Cli.hpp"

#include <algorithm>
#include <functional>
#include <iostream>
#include <map>

#include <CLI/CLI.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Completion.hpp"
#include "ObjectFlags.hpp"
#include "Output.hpp"
#include "Resume.hpp"
#include "S3Url.hpp"
#include "Settings.hpp"

namespace quilo::cli {

namespace {

constexpr const char* footer = R"(
Settings left out come from the environment, then from the profile (--profile, AWS_PROFILE, or
"default") in the shared files, as awscli has them; a profile named explicitly gives its keys
before the environment's. With no keys anywhere, quilo stops, unless --no-sign-request.
  AWS_ENDPOINT_URL                          endpoint (TLS unless http://); endpoint_url
  AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY  keys; aws_access_key_id, aws_secret_access_key
  AWS_SESSION_TOKEN                         temporary credentials; aws_session_token
  AWS_REGION, AWS_DEFAULT_REGION            signing region; region
  AWS_CA_BUNDLE                             CA certificates for TLS; ca_bundle
  AWS_PROFILE                               the profile to read
  AWS_SHARED_CREDENTIALS_FILE               default ~/.aws/credentials, sections [NAME]
  AWS_CONFIG_FILE                           default ~/.aws/config, sections [profile NAME]

Keys, names and messages are printed with control characters and invalid UTF-8 as \xNN and a
backslash as \\, in text and JSON alike, so that they cannot disturb a terminal.

Exit status: 0 all done, 1 something failed (each failure printed once on stderr), 2 wrong
command line, 130 interrupted (SIGINT, SIGTERM or SIGHUP: transfers under way are cancelled,
leaving no partial file or upload; running the same command again finishes the job). A second
signal gives the cancelling five seconds more, then names what may be left; a third leaves at
once.)";

// The app and the subcommands given: quilo, acl, set for `quilo acl set ...`.
std::vector<const CLI::App*> chosenPath(const CLI::App& app) {
    std::vector<const CLI::App*> path = {&app};
    while (!path.back()->get_subcommands().empty()) {
        path.push_back(path.back()->get_subcommands().front());
    }
    return path;
}

// "quilo acl set", for pointing at the right --help.
std::string commandName(const CLI::App& app) {
    std::string name;
    for (const auto* command : chosenPath(app)) {
        name += (name.empty() ? "" : " ") + command->get_name();
    }
    return name;
}

int usageError(const CLI::App& app, const std::string& message) {
    std::cerr << "quilo: " << escaped(message) << "\nRun '" << commandName(app)
              << " --help' for more information.\n";
    return exitUsage;
}

void addGlobalOptions(CLI::App& app, Flags& flags, OutputMode& mode) {
    const char* group = "Connection";
    app.add_option("--endpoint", flags.endpoint,
                   "Service address: https://host, http://host:port, or host:port (over TLS)")
        ->group(group);
    app.add_option("--region", flags.region, "Region to sign for (default us-east-1)")
        ->group(group);
    app.add_option("--addressing-style", flags.addressingStyle,
                   "Bucket in the host name (virtual) or in the path (path); auto: in the host "
                   "on amazonaws.com only")
        ->check(CLI::IsMember({"auto", "path", "virtual"}))
        ->group(group);
    app.add_option("--access-key", flags.accessKey, "Access key id")->group(group);
    app.add_option("--secret-key", flags.secretKey, "Secret access key")->group(group);
    app.add_option("--profile", flags.profile, "Profile of the shared files to read")->group(group);
    app.add_flag("--no-sign-request", flags.anonymous, "Send unsigned (anonymous) requests")
        ->group(group);
    app.add_flag("--ssl", flags.ssl, "Use TLS (the default, unless the endpoint says http://)")
        ->group(group);
    app.add_option("--ca-file", flags.caFile, "CA certificates (PEM) to verify TLS with")
        ->check(CLI::ExistingFile)
        ->group(group);
    app.add_option("-j,--jobs", flags.jobs, "Requests run at once: files moved, objects deleted")
        ->check(CLI::Range(1, 64))
        ->capture_default_str()
        ->group(group);
    app.add_flag_callback(
           "--no-resume", [] { resumes() = false; },
           "Start large uploads afresh, keeping no journal to carry them on after a kill")
        ->group(group);

    group = "Output";
    app.add_option_function<std::string>(
           "--output", [&mode](const std::string& format) { mode.json = format == "json"; },
           "text (the default) or json: one document for scripts")
        ->check(CLI::IsMember({"text", "json"}))
        ->group(group);
    app.add_flag("-q,--quiet", mode.quiet,
                 "Print only errors, and what ls, config, acl get and meta get show")
        ->group(group);
    app.add_flag_callback(
           "--no-progress", [&mode] { mode.progress = false; }, "Draw no progress bars")
        ->group(group);
}

// The largest object a service stores.
constexpr std::uint64_t maxObjectBytes = std::uint64_t{5} << 40;

// A part size at least `configured` with which `expected` bytes fit in 10000 parts, in whole MiB.
std::uint64_t partSizeFor(std::uint64_t expected, std::uint64_t configured) {
    constexpr std::uint64_t mib = 1u << 20, parts = 10000;
    const auto needed = (expected + parts - 1) / parts;
    return std::max(configured, (needed + mib - 1) / mib * mib);
}

// What the subcommands take: only the chosen one's fields are filled.
struct Arguments {
    std::string url;
    std::string destination;
    std::string file;
    std::string versionId;
    std::string olderThan;
    long expires = 3600;
    std::string method = "GET";
    std::vector<std::string> urls;
    std::vector<std::string> paths;
    std::vector<std::string> assignments;
    bool recursive = false;
    bool all = false;
    bool human = false;
    ListOptions list;
    TreeOptions tree;
    std::optional<std::uint64_t> partSize, multipartThreshold, expectedSize;
    ObjectFlags object;
    Settings settings;             // resolved once the command line is parsed
    std::function<int()> command;  // the subcommand parsing chose
};

// Makes `command` the one to run when `subcommand` is given.
void onChosen(CLI::App* subcommand, Arguments& arguments, std::function<int()> command) {
    subcommand->callback([&arguments, command] { arguments.command = command; });
}

// --exclude and --include in the order given, so that the later pattern wins.
void addFilters(CLI::App* command, Arguments& a) {
    const auto pattern = [&a](bool include) {
        return [&a, include](const std::string& glob) { a.tree.filter.add(include, glob); };
    };
    command
        ->add_option_function<std::string>("--exclude", pattern(false),
                                           "Leave out paths matching this glob ('*' crosses /)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->trigger_on_parse();
    command
        ->add_option_function<std::string>("--include", pattern(true),
                                           "Take paths matching it after all; the later wins")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->trigger_on_parse();
    command->add_flag("--dryrun", a.tree.dryRun, "Print what would be done, and do nothing");
}

// What an upload is sent with: its access policy, headers and encryption, and the sizes that
// choose its parts.
void addUploadOptions(CLI::App* command, Arguments& a) {
    addWrittenFlags(command, a.object);
    command->add_option("--acl", a.tree.acl, "Canned access policy of the new objects")
        ->check(
            CLI::IsMember({"private", "public-read", "public-read-write", "authenticated-read"}));
    command
        ->add_option("--part-size", a.partSize,
                     "Size of each part of an upload in parts (5MiB to 5GiB; default 16MiB)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::uint64_t{5} << 20, std::uint64_t{5} << 30));
    command
        ->add_option("--multipart-threshold", a.multipartThreshold,
                     "Files larger than this go up in parts (default 64MiB)")
        ->transform(CLI::AsSizeValue(false));
}

// A stream's length, told in advance, so that its parts are made large enough.
void addExpectedSize(CLI::App* command, Arguments& a) {
    command
        ->add_option("--expected-size", a.expectedSize,
                     "About how long standard input (-) is, such as 200GiB: parts are made large "
                     "enough for it (an upload has 10000 at most)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::uint64_t{0}, maxObjectBytes));
}

void addBucketCommands(CLI::App& app, Arguments& a) {
    auto* ls = app.add_subcommand("ls", "List your buckets, or one level of a bucket's objects");
    ls->add_option("url", a.url, "s3://bucket[/prefix]; without it, the buckets");
    ls->add_flag("-r,--recursive", a.list.recursive, "Every key below, not one level");
    ls->add_flag("--versions", a.list.versions, "Every version and delete marker");
    ls->add_flag("-H,--human-readable", a.list.human, "Sizes in KiB, MiB, GiB...");
    ls->add_flag("--summarize", a.list.summarize, "End with the count and total size");
    ls->add_option("--delimiter", a.list.delimiter,
                   "Group the keys up to this string into PRE lines")
        ->capture_default_str();
    ls->add_option("--page-size", a.list.pageSize, "Keys asked for per request")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    onChosen(ls, a, [&a] { return a.url.empty() ? listBuckets() : listObjects(a.url, a.list); });

    auto* du = app.add_subcommand("du", "Total size and count of the objects below a prefix");
    du->add_option("url", a.url, "s3://bucket[/prefix]")->required();
    du->add_flag("-H,--human-readable", a.human, "The size in KiB, MiB, GiB...");
    onChosen(du, a, [&a] { return diskUsage(a.url, a.human); });

    auto* stat = app.add_subcommand(
        "stat", "Show an object's size, ETag, type, times, metadata, class and encryption");
    stat->add_option("url", a.url, "s3://bucket/key")->required();
    addCustomerKeyFlags(stat, a.object);
    addVersionFlag(stat, a.object);
    onChosen(stat, a, [&a] { return cli::stat(a.url, a.tree.read); });

    auto* mb = app.add_subcommand("mb", "Make buckets");
    mb->add_option("url", a.urls, "s3://bucket")->required();
    onChosen(mb, a, [&a] { return makeBuckets(a.urls); });

    auto* rb = app.add_subcommand("rb", "Remove buckets, which must be empty");
    rb->add_option("url", a.urls, "s3://bucket")->required();
    onChosen(rb, a, [&a] { return removeBuckets(a.urls); });

    auto* config =
        app.add_subcommand("config", "Show the settings in force and where each is from");
    onChosen(config, a, [&a] { return showSettings(a.settings); });
}

// The tree form needs exactly `count` arguments: put -r DIR URL, get -r URL DIR, rm -r URL.
const std::vector<std::string>& treeArguments(const std::vector<std::string>& given,
                                              std::size_t count, const char* form) {
    if (given.size() != count) {
        throw UsageError(std::string("the tree form is ") + form);
    }
    return given;
}

void addTransferCommands(CLI::App& app, Arguments& a) {
    auto* put = app.add_subcommand("put", "Upload files, or with -r a directory's tree");
    put->add_option("paths", a.paths,
                    "FILE... s3://bucket/key, or s3://bucket/prefix/ for each file's own name; "
                    "- s3://bucket/key for standard input; "
                    "-r DIR s3://bucket/prefix/ for DIR's contents under prefix/")
        ->required()
        ->expected(2, -1);
    put->add_flag("-r,--recursive", a.recursive, "Upload every file under DIR");
    put->add_flag("--follow-symlinks", a.tree.followSymlinks,
                  "Follow symbolic links below DIR (-r)");
    addUploadOptions(put, a);
    addExpectedSize(put, a);
    addFilters(put, a);
    onChosen(put, a, [&a] {
        if (!a.recursive) {
            return cli::put(a.paths, a.tree.transfers());
        }
        const auto& args = treeArguments(a.paths, 2, "put -r DIR s3://bucket/prefix/");
        return putTree(args[0], args[1], a.tree);
    });

    auto* get = app.add_subcommand("get", "Download objects, or with -r a prefix's tree");
    get->add_option("paths", a.paths,
                    "s3://bucket/key... FILE, DIR for each object's own name, or - for "
                    "standard output; "
                    "-r s3://bucket/prefix/ DIR for the keys below prefix/ as files below DIR")
        ->required()
        ->expected(2, -1);
    get->add_flag("-r,--recursive", a.recursive, "Download every object under the prefix");
    addCustomerKeyFlags(get, a.object);
    addVersionFlag(get, a.object);
    addFilters(get, a);
    onChosen(get, a, [&a] {
        if (!a.recursive) {
            return cli::get(a.paths, a.tree.transfers());
        }
        const auto& args = treeArguments(a.paths, 2, "get -r s3://bucket/prefix/ DIR");
        return getTree(args[0], args[1], a.tree);
    });

    auto* rm = app.add_subcommand("rm", "Delete objects, or with -r a prefix's tree");
    rm->add_option("url", a.urls, "s3://bucket/key...; -r s3://bucket/prefix/")->required();
    rm->add_flag("-r,--recursive", a.recursive, "Delete every object under the prefix");
    addVersionFlag(rm, a.object);
    addFilters(rm, a);
    onChosen(rm, a, [&a] {
        return a.recursive
                   ? removeTree(treeArguments(a.urls, 1, "rm -r s3://bucket/prefix/")[0], a.tree)
                   : remove(a.urls, a.tree.transfers());
    });

    auto* sync = app.add_subcommand(
        "sync", "Copy what is missing or differs (size, or a later modification time)");
    sync->add_option("source", a.url, "DIR, or s3://bucket/prefix/")->required();
    sync->add_option("destination", a.destination, "s3://bucket/prefix/, or DIR")->required();
    sync->add_flag("--size-only", a.tree.sizeOnly, "Compare sizes only");
    sync->add_flag("--checksum", a.tree.checksum,
                   "Compare the bytes of files and objects of the same size, by MD5 or by a "
                   "multipart ETag computed again from the file; those whose ETag tells neither "
                   "are named, and compared by time");
    sync->add_flag("--delete", a.tree.deleteExtra,
                   "Remove what the source lacks, except what the filters leave out");
    sync->add_flag("--follow-symlinks", a.tree.followSymlinks,
                   "Follow symbolic links below a source DIR (never below a destination)");
    addUploadOptions(sync, a);
    addFilters(sync, a);
    onChosen(sync, a, [&a] { return cli::sync(a.url, a.destination, a.tree); });
}

void addObjectCommands(CLI::App& app, Arguments& a) {
    for (const bool move : {false, true}) {
        auto* cp = app.add_subcommand(
            move ? "mv" : "cp",
            move ? "Move files or objects: each source goes once its copy is there, whole"
                 : "Copy files to a bucket, objects to files, or objects on the server");
        cp->add_option("source", a.url, "FILE, DIR (-r), or s3://bucket/key or prefix/ (-r)")
            ->required();
        cp->add_option("destination", a.destination,
                       "s3://bucket/key or prefix/, FILE, DIR, or - for standard output")
            ->required();
        cp->add_flag("-r,--recursive", a.recursive, "Every file or object below the source");
        cp->add_flag("--follow-symlinks", a.tree.followSymlinks,
                     "Follow symbolic links below a source DIR (-r)");
        addUploadOptions(cp, a);
        if (!move) {
            addExpectedSize(cp, a);
            addVersionFlag(cp, a.object);
        }
        addFilters(cp, a);
        onChosen(cp, a, [&a, move] {
            a.tree.move = move;
            return copy(a.url, a.destination, a.recursive, a.tree);
        });
    }

    auto* cat = app.add_subcommand("cat", "Write an object to standard output");
    cat->add_option("url", a.url, "s3://bucket/key")->required();
    addCustomerKeyFlags(cat, a.object);
    addVersionFlag(cat, a.object);
    onChosen(cat, a, [&a] { return cli::cat(a.url, a.tree.transfers()); });

    auto* acl = app.add_subcommand("acl", "Show or replace access-control lists");
    acl->require_subcommand(1);
    auto* aclGet = acl->add_subcommand("get", "Show the grants of a bucket or object");
    aclGet->add_option("url", a.url, "s3://bucket[/key]")->required();
    onChosen(aclGet, a, [&a] { return getAcl(a.url); });
    auto* aclSet = acl->add_subcommand("set", "Replace the grants of a bucket or object");
    aclSet->add_option("url", a.url, "s3://bucket[/key]")->required();
    aclSet
        ->add_option("--grant", a.assignments,
                     "PERMISSION=GRANTEE, such as "
                     "READ=uri=http://acs.amazonaws.com/groups/global/AllUsers. PERMISSION is "
                     "READ, WRITE, READ_ACP, WRITE_ACP or FULL_CONTROL; GRANTEE is id=..., "
                     "uri=... or emailAddress=...")
        ->required();
    onChosen(aclSet, a, [&a] { return setAcl(a.url, a.assignments); });

    auto* meta = app.add_subcommand("meta", "Show or replace metadata");
    meta->require_subcommand(1);
    auto* metaGet =
        meta->add_subcommand("get", "Show the headers and metadata of a bucket or object");
    metaGet->add_option("url", a.url, "s3://bucket[/key]")->required();
    onChosen(metaGet, a, [&a] { return getMeta(a.url); });
    auto* metaSet = meta->add_subcommand("set", "Replace the metadata of an object");
    metaSet->add_option("url", a.url, "s3://bucket/key")->required();
    metaSet
        ->add_option("entries", a.assignments,
                     "NAME=VALUE...: user metadata, or Content-Type, Cache-Control, "
                     "Content-Disposition, Content-Encoding, Content-Language, Expires")
        ->required();
    onChosen(metaSet, a, [&a] { return setMeta(a.url, a.assignments); });

    auto* presign = app.add_subcommand(
        "presign",
        "Print a URL through which anyone may fetch (or with --method PUT, upload) "
        "an object until it expires, without keys");
    presign->add_option("url", a.url, "s3://bucket/key")->required();
    presign->add_option("--expires", a.expires, "Seconds the URL works (at most 7 days)")
        ->check(CLI::Range(1, 604800))
        ->capture_default_str();
    presign->add_option("--method", a.method, "The request it allows")
        ->check(CLI::IsMember({"GET", "PUT", "HEAD", "DELETE"}))
        ->capture_default_str();
    onChosen(presign, a, [&a] { return cli::presign(a.url, a.expires, a.method); });
}

// Subcommands of `parent`, one for each action, each taking s3://bucket as its url.
void addActions(CLI::App* parent, Arguments& a,
                const std::vector<std::pair<const char*, const char*>>& actions,
                const std::function<int(const std::string&)>& run,
                const char* url = "s3://bucket") {
    parent->require_subcommand(1);
    for (const auto& [name, description] : actions) {
        auto* action = parent->add_subcommand(name, description);
        action->add_option("url", a.url, url)->required();
        onChosen(action, a, [run, name = std::string(name)] { return run(name); });
    }
}

void addVersionCommands(CLI::App& app, Arguments& a) {
    auto* versioning = app.add_subcommand("versioning", "Turn a bucket's versioning on or off");
    addActions(versioning, a,
               {{"enable", "Keep every version of every object from now on"},
                {"suspend", "Keep no more new versions; those kept stay"},
                {"status", "Show Enabled, Suspended or Unversioned"}},
               [&a](const std::string& action) { return cli::versioning(action, a.url); });

    auto* tag =
        app.add_subcommand("tag", "Show, replace or remove the tags of an object or bucket");
    addActions(
        tag, a,
        {{"get", "Show the tags, one KEY=VALUE a line"},
         {"set", "Replace the tags with KEY=VALUE..."},
         {"rm", "Remove every tag"}},
        [&a](const std::string& action) {
            return cli::tag(action, a.url, a.versionId, a.assignments);
        },
        "s3://bucket/key, or s3://bucket");
    for (auto* action : tag->get_subcommands({})) {
        action->add_option("--version-id", a.versionId, "That version of the object");
    }
    tag->get_subcommand("set")
        ->add_option("tags", a.assignments, "KEY=VALUE...: the new tags (an object has 10 at most)")
        ->required();

    auto* mpu = app.add_subcommand("mpu", "Multipart uploads that were never finished");
    mpu->require_subcommand(1);
    auto* list = mpu->add_subcommand("ls", "List them: initiated, upload id and key");
    list->add_option("url", a.url, "s3://bucket[/prefix]")->required();
    onChosen(list, a, [&a] { return listUploads(a.url); });
    auto* abort = mpu->add_subcommand("abort", "Abort uploads, dropping the parts they hold");
    abort
        ->add_option("upload", a.paths,
                     "s3://bucket/key UPLOADID; with --all, s3://bucket[/prefix]")
        ->required()
        ->expected(1, 2);
    abort->add_flag("--all", a.all, "Every upload below the prefix");
    abort->add_option("--older-than", a.olderThan,
                      "With --all: only those begun this long ago or more (90s, 30m, 12h, 1d, 2w)");
    onChosen(abort, a, [&a] { return abortUploads(a.paths, a.all, a.olderThan); });
}

void addConfigurationCommands(CLI::App& app, Arguments& a) {
    const std::vector<std::pair<const char*, const char*>> kinds = {
        {"policy", "A bucket's policy, as its JSON document"},
        {"lifecycle",
         "A bucket's lifecycle rules, in JSON as awscli's s3api has them ({\"Rules\": [...]})"},
        {"cors",
         "A bucket's CORS rules, in JSON as awscli's s3api has them ({\"CORSRules\": [...]})"}};
    for (const auto& [name, description] : kinds) {
        auto* kind = app.add_subcommand(name, description);
        addActions(kind, a,
                   {{"get", "Print it, or write it to FILE"},
                    {"set", "Replace it with FILE's (- for standard input)"},
                    {"rm", "Remove it"}},
                   [&a, name = std::string(name)](const std::string& action) {
                       return bucketConfiguration(name, action, a.url, a.file);
                   });
        for (const char* action : {"get", "set"}) {
            kind->get_subcommand(action)->add_option("file", a.file,
                                                     "FILE, or - for standard "
                                                     "input or output");
        }
    }
}

void addShellCommands(CLI::App& app, Arguments& a) {
    auto* completion = app.add_subcommand("completion", "Print a shell's completion script");
    completion->add_option("shell", a.url, "bash, zsh or fish")
        ->required()
        ->check(CLI::IsMember({"bash", "zsh", "fish"}));
    completion->footer(
        "  bash: source <(quilo completion bash)\n"
        "  zsh:  quilo completion zsh > \"${fpath[1]}/_quilo\"\n"
        "  fish: quilo completion fish > ~/.config/fish/completions/quilo.fish");
    onChosen(completion, a, [&a] { return printCompletionScript(a.url); });

    auto* complete = app.add_subcommand(completeCommand, "");
    complete->group("");
    complete->add_option("words", a.paths);
    onChosen(complete, a, [&a, &app] { return cli::complete(app, a.paths); });
}

// --help-all: the help of every command at every depth, which the man page is made from.
std::string helpOfAll(const CLI::App& app) {
    std::string help = app.help();
    std::vector<const CLI::App*> pending = app.get_subcommands({});
    for (std::size_t i = 0; i < pending.size(); ++i) {
        const CLI::App* command = pending[i];
        if (command->get_group().empty()) {
            continue;
        }
        std::string name = command->get_name();
        for (const auto* above = command->get_parent(); above; above = above->get_parent()) {
            name = above->get_name() + " " + name;
        }
        help += "\n" + name + "\n" + command->help("", CLI::AppFormatMode::Sub);
        const auto below = command->get_subcommands({});
        pending.insert(pending.begin() + static_cast<std::ptrdiff_t>(i) + 1, below.begin(),
                       below.end());
    }
    return help;
}

// Parses the command line into `a`; an exit status when that is all there is to do.
std::optional<int> parse(CLI::App& app, int argc, char** argv) {
    if (argc <= 1) {
        std::cerr << app.help();
        return exitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // CLI11 takes a misspelt command for a missing one.
        const bool takesCommands = !chosenPath(app).back()->get_subcommands({}).empty();
        if (takesCommands && !app.remaining().empty() &&
            dynamic_cast<const CLI::RequiredError*>(&error)) {
            return usageError(app, "unknown command '" + app.remaining().front() + "'");
        }
        return app.exit(error) == 0 ? 0 : exitUsage;
    }
    return std::nullopt;
}

}  // namespace

int run(int argc, char** argv) {
    CLI::App app("Buckets and objects of S3-compatible storage, from the command line.", "quilo");
    app.set_version_flag("--version", "quilo " QUILO_VERSION);
    app.add_flag_callback(
           "--help-all",
           [&app] {
               std::cout << helpOfAll(app);
               throw CLI::Success();
           },
           "Print the help of every command")
        ->trigger_on_parse();
    app.require_subcommand(1);
    app.fallthrough();  // global flags may follow the subcommand
    app.failure_message([](const CLI::App* failed, const CLI::Error& error) {
        return "quilo: " + std::string(error.what()) + "\nRun '" + commandName(*failed) +
               " --help' for more information.\n";
    });
    Flags flags;
    addGlobalOptions(app, flags, outputMode());
    Arguments arguments;
    addBucketCommands(app, arguments);
    addTransferCommands(app, arguments);
    addObjectCommands(app, arguments);
    addVersionCommands(app, arguments);
    addConfigurationCommands(app, arguments);
    addShellCommands(app, arguments);
    app.footer(footer);  // after the subcommands: shown on the main help only

    if (const auto status = parse(app, argc, argv)) {
        return *status;
    }
    try {
        if (!arguments.command) {
            return usageError(app, "no command given");
        }
        auto [written, read] = objectOptions(arguments.object);
        if (arguments.recursive && read.contains("versionId")) {
            throw UsageError("--version-id names a version of one object, not a tree");
        }
        arguments.tree.written = std::move(written);
        arguments.tree.read = std::move(read);
        arguments.settings = resolveSettings(flags);
        applySettings(arguments.settings);
        if (resumes()) {
            // A kill loses what the parts and ranges in flight had moved: smaller ones lose less.
            // A part size the user gave still wins.
            S3ObjectRequest::setMultipartPartSize(kResumablePieceBytes);
            S3ObjectRequest::setRangeSize(kResumablePieceBytes);
            sweepJournals(kJournalAge);
        }
        if (arguments.partSize) {
            S3ObjectRequest::setMultipartPartSize(*arguments.partSize);
        }
        if (arguments.multipartThreshold) {
            S3ObjectRequest::setMultipartThreshold(*arguments.multipartThreshold);
        }
        if (arguments.expectedSize) {
            S3ObjectRequest::setMultipartPartSize(
                partSizeFor(*arguments.expectedSize, S3ObjectRequest::multipartPartSize()));
        }
        interruptOnSignal();
        const int status = arguments.command();
        if (interrupted()) {
            std::cerr << "quilo: interrupted\n";
            return exitInterrupted;
        }
        return status;
    } catch (const UsageError& error) {
        return usageError(app, error.what());
    } catch (const std::exception& error) {
        std::cerr << "quilo: " << escaped(error.what()) << '\n';
        return exitFailure;
    }
}

}  // namespace quilo::cli
