#include "Cli.hpp"

#include <functional>
#include <iostream>

#include <CLI/CLI.hpp>

#include "Batch.hpp"
#include "Commands.hpp"
#include "Connection.hpp"
#include "Output.hpp"
#include "S3Url.hpp"

namespace quilo::cli {

namespace {

constexpr const char* environmentHelp = R"(
Environment, for the flags left out:
  AWS_ENDPOINT_URL                          endpoint (https:// turns TLS on)
  AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY  keys
  AWS_REGION, AWS_DEFAULT_REGION            signing region
  AWS_CA_BUNDLE                             CA certificates for TLS)";

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
    std::cerr << "quilo: " << message << "\nRun '" << commandName(app)
              << " --help' for more information.\n";
    return exitUsage;
}

void addConnectionOptions(CLI::App& app, Connection& connection) {
    const char* group = "Connection";
    app.add_option("--endpoint", connection.endpoint,
                   "Service address: http://host:port, https://host or host:port")
        ->envname("AWS_ENDPOINT_URL")
        ->group(group);
    app.add_option("--region", connection.region, "Region to sign for (default us-east-1)")
        ->envname("AWS_REGION")
        ->group(group);
    app.add_option("--access-key", connection.accessKey, "Access key id")
        ->envname("AWS_ACCESS_KEY_ID")
        ->group(group);
    app.add_option("--secret-key", connection.secretKey, "Secret access key")
        ->envname("AWS_SECRET_ACCESS_KEY")
        ->group(group);
    app.add_flag("--ssl", connection.ssl, "Use HTTPS with a host:port endpoint")->group(group);
    app.add_option("--ca-file", connection.caFile, "CA certificates (PEM) to verify TLS with")
        ->envname("AWS_CA_BUNDLE")
        ->check(CLI::ExistingFile)
        ->group(group);
    app.add_option("-j,--jobs", connection.jobs,
                   "Requests run at once: files moved, objects deleted")
        ->check(CLI::Range(1, 64))
        ->capture_default_str()
        ->group(group);
}

// What the subcommands take: only the chosen one's fields are filled.
struct Arguments {
    std::string url;
    std::string destination;
    std::string delimiter;
    std::int32_t pageSize = 1000;
    std::vector<std::string> urls;
    std::vector<std::string> paths;
    std::vector<std::string> assignments;
    std::optional<std::string> acl;
    std::function<int()> command;  // the subcommand parsing chose
};

// Makes `command` the one to run when `subcommand` is given.
void onChosen(CLI::App* subcommand, Arguments& arguments, std::function<int()> command) {
    subcommand->callback([&arguments, command] { arguments.command = command; });
}

void addBucketCommands(CLI::App& app, Arguments& a) {
    auto* ls = app.add_subcommand("ls", "List your buckets, or the objects of a bucket");
    ls->add_option("url", a.url, "s3://bucket[/prefix]; without it, the buckets");
    ls->add_option("--delimiter", a.delimiter,
                   "Group the keys up to this string (such as /) into PRE lines");
    ls->add_option("--page-size", a.pageSize, "Keys asked for per request")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    onChosen(ls, a, [&a] {
        return a.url.empty() ? listBuckets() : listObjects(a.url, a.delimiter, a.pageSize);
    });

    auto* mb = app.add_subcommand("mb", "Make buckets");
    mb->add_option("url", a.urls, "s3://bucket")->required();
    onChosen(mb, a, [&a] { return makeBuckets(a.urls); });

    auto* rb = app.add_subcommand("rb", "Remove buckets, which must be empty");
    rb->add_option("url", a.urls, "s3://bucket")->required();
    onChosen(rb, a, [&a] { return removeBuckets(a.urls); });
}

void addTransferCommands(CLI::App& app, Arguments& a) {
    auto* put = app.add_subcommand("put", "Upload files");
    put->add_option("paths", a.paths,
                    "FILE... s3://bucket/key, or s3://bucket/prefix/ for each file's own name")
        ->required()
        ->expected(2, -1);
    put->add_option("--acl", a.acl, "Canned access policy of the new objects")
        ->check(
            CLI::IsMember({"private", "public-read", "public-read-write", "authenticated-read"}));
    onChosen(put, a, [&a] { return cli::put(a.paths, a.acl); });

    auto* get = app.add_subcommand("get", "Download objects");
    get->add_option("paths", a.paths, "s3://bucket/key... FILE, or DIR for each object's own name")
        ->required()
        ->expected(2, -1);
    onChosen(get, a, [&a] { return cli::get(a.paths); });
}

void addObjectCommands(CLI::App& app, Arguments& a) {
    auto* cp = app.add_subcommand("cp", "Copy an object on the server");
    cp->add_option("source", a.url, "s3://bucket/key")->required();
    cp->add_option("destination", a.destination, "s3://bucket/key, or s3://bucket/prefix/")
        ->required();
    onChosen(cp, a, [&a] { return copy(a.url, a.destination); });

    auto* rm = app.add_subcommand("rm", "Delete objects");
    rm->add_option("url", a.urls, "s3://bucket/key")->required();
    onChosen(rm, a, [&a] { return remove(a.urls); });

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
}

}  // namespace

int run(int argc, char** argv) {
    CLI::App app("Buckets and objects of S3-compatible storage, from the command line.", "quilo");
    app.set_version_flag("--version", "quilo " QUILO_VERSION);
    app.require_subcommand(1);
    app.fallthrough();  // connection flags may follow the subcommand
    app.failure_message([](const CLI::App* failed, const CLI::Error& error) {
        return "quilo: " + std::string(error.what()) + "\nRun '" + commandName(*failed) +
               " --help' for more information.\n";
    });
    Connection connection;
    addConnectionOptions(app, connection);
    Arguments arguments;
    addBucketCommands(app, arguments);
    addTransferCommands(app, arguments);
    addObjectCommands(app, arguments);
    app.footer(environmentHelp);  // after the subcommands: shown on the main help only

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
    try {
        if (!arguments.command) {
            return usageError(app, "no command given");
        }
        applyConnection(connection);
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
        std::cerr << "quilo: " << error.what() << '\n';
        return exitFailure;
    }
}

}  // namespace quilo::cli
