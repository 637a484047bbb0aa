#include "ObjectFlags.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "S3Url.hpp"

namespace quilo::cli {

namespace {

constexpr std::size_t customerKeyBytes = 32;

// A header name's characters (RFC 9110 token), which a metadata name becomes part of.
bool isToken(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) !=
                                      std::string_view::npos;
    });
}

// awscli's shorthand for a map, "k=v,k2=v2", or a JSON object of strings.
StringMap parseMetadata(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> entries;
    if (text.starts_with('{')) {
        const auto document = nlohmann::json::parse(text, nullptr, false);
        if (!document.is_object()) {
            throw UsageError("--metadata '" + text + "' is not a JSON object");
        }
        for (const auto& [name, value] : document.items()) {
            if (!value.is_string()) {
                throw UsageError("--metadata: the value of '" + name + "' is not a string");
            }
            entries.emplace_back(name, value.get<std::string>());
        }
    } else {
        for (std::size_t at = 0; at <= text.size();) {
            const auto end = std::min(text.find(',', at), text.size());
            const auto pair = text.substr(at, end - at);
            const auto equals = pair.find('=');
            if (equals == std::string::npos) {
                throw UsageError("--metadata takes KEY=VALUE,...: '" + pair + "' has no '='");
            }
            entries.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
            at = end + 1;
        }
    }
    StringMap metadata;
    for (auto& [name, value] : entries) {
        if (!isToken(name)) {
            throw UsageError("--metadata: '" + name + "' cannot name metadata (letters, digits, " +
                             "and !#$%&'*+-.^_`|~ only)");
        }
        if (!metadata.emplace("x-amz-meta-" + name, std::move(value)).second) {
            throw UsageError("--metadata names '" + name + "' twice");
        }
    }
    return metadata;
}

std::string base64(std::string_view bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                    reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<int>(bytes.size()));
    return text;
}

// The bytes of padded base64 text; empty for anything else.
std::string fromBase64(std::string_view text) {
    if (text.empty() || text.size() % 4 != 0) {
        return {};
    }
    std::string bytes(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length < 0) {
        return {};
    }
    const auto padding = text.size() - text.find_last_not_of('=') - 1;
    bytes.resize(static_cast<std::size_t>(length) - std::min<std::size_t>(padding, 2));
    return bytes;
}

// awscli takes the key's 32 bytes as they are, or from fileb://FILE; base64 of them is taken as
// well, as keys are often kept so.
std::string customerKey(const std::string& given) {
    std::string key = given;
    if (constexpr std::string_view file = "fileb://"; given.starts_with(file)) {
        std::ifstream in(given.substr(file.size()), std::ios::binary);
        if (!in) {
            throw UsageError("--sse-c-key: cannot read " + given.substr(file.size()));
        }
        // One byte more than a key shows a file too long, however long it is (/dev/zero).
        key.resize(customerKeyBytes + 1);
        key.resize(static_cast<std::size_t>(
            in.read(key.data(), static_cast<std::streamsize>(key.size())).gcount()));
    } else if (given.size() != customerKeyBytes) {
        key = fromBase64(given);
    }
    if (key.size() != customerKeyBytes) {
        throw UsageError(
            "--sse-c-key is a key of 32 bytes: as they are, in base64, or from fileb://FILE");
    }
    return base64(key);
}

}  // namespace

ObjectOptions objectOptions(const ObjectFlags& flags) {
    ObjectOptions options;
    const std::pair<const char*, const ObjectFlags::Text*> written[] = {
        {"contentType", &flags.contentType},
        {"cacheControl", &flags.cacheControl},
        {"contentDisposition", &flags.contentDisposition},
        {"contentEncoding", &flags.contentEncoding},
        {"contentLanguage", &flags.contentLanguage},
        {"expires", &flags.expires},
        {"storageClass", &flags.storageClass},
        {"serverSideEncryption", &flags.sse},
        {"sseKmsKeyId", &flags.sseKmsKeyId}};
    for (const auto& [key, value] : written) {
        if (*value) {
            options.written[key] = **value;
        }
    }
    if (flags.metadata) {
        options.written.merge(parseMetadata(*flags.metadata));
    }
    if (flags.sseKmsKeyId && flags.sse == "AES256") {
        throw UsageError("--sse-kms-key-id goes with --sse aws:kms");
    }
    if (flags.sse && flags.sseCKey) {
        throw UsageError("--sse and --sse-c-key ask for two encryptions: give one");
    }
    if (flags.sseC && !flags.sseCKey) {
        throw UsageError("--sse-c needs the key: --sse-c-key");
    }
    if (flags.sseCKey) {
        options.written["sseCustomerKey"] = options.read["sseCustomerKey"] =
            customerKey(*flags.sseCKey);
    }
    if (flags.versionId) {
        options.read["versionId"] = *flags.versionId;
    }
    return options;
}

void addWrittenFlags(CLI::App* command, ObjectFlags& flags) {
    const char* group = "Object";
    const std::pair<const char*, ObjectFlags::Text*> headers[] = {
        {"--content-type", &flags.contentType},
        {"--cache-control", &flags.cacheControl},
        {"--content-disposition", &flags.contentDisposition},
        {"--content-encoding", &flags.contentEncoding},
        {"--content-language", &flags.contentLanguage},
        {"--expires", &flags.expires}};
    for (const auto& [name, value] : headers) {
        command->add_option(name, *value, std::string("The new objects' ") + (name + 2) + " header")
            ->group(group);
    }
    command->get_option("--content-type")
        ->description("The new objects' type (default: guessed from each file's extension)");
    command->get_option("--expires")
        ->description("When caches take the new objects for stale (ISO 8601 or HTTP date)");
    command
        ->add_option("--metadata", flags.metadata,
                     "User metadata of the new objects: KEY=VALUE,KEY2=VALUE2 or a JSON object")
        ->group(group);
    command
        ->add_option("--storage-class", flags.storageClass,
                     "STANDARD, STANDARD_IA, GLACIER... or a class of the service's own")
        ->check(CLI::Validator(
            [](const std::string& name) {
                return !name.empty() && std::all_of(name.begin(), name.end(),
                                                    [](unsigned char c) {
                                                        return std::isupper(c) || std::isdigit(c) ||
                                                               c == '_';
                                                    })
                           ? std::string()
                           : "a storage class is upper-case letters, digits and '_'";
            },
            "CLASS"))
        ->group(group);
    command
        ->add_option("--sse", flags.sse,
                     "Encrypt the new objects with a key the service keeps: AES256 or aws:kms")
        ->check(CLI::IsMember({"AES256", "aws:kms"}))
        ->group(group);
    command
        ->add_option("--sse-kms-key-id", flags.sseKmsKeyId,
                     "The KMS key of --sse aws:kms (default: the service's)")
        ->group(group);
    addCustomerKeyFlags(command, flags);
}

void addCustomerKeyFlags(CLI::App* command, ObjectFlags& flags) {
    command
        ->add_option("--sse-c-key", flags.sseCKey,
                     "Encrypt the new objects, or read them, with your own key (SSE-C): 32 bytes "
                     "as they are, in base64, or fileb://FILE. The service keeps no copy.")
        ->group("Object");
    command->add_option("--sse-c", flags.sseC, "The SSE-C algorithm, as awscli asks for it: AES256")
        ->check(CLI::IsMember({"AES256"}))
        ->group("Object");
}

void addVersionFlag(CLI::App* command, ObjectFlags& flags) {
    command->add_option("--version-id", flags.versionId, "That version of the object")
        ->check(CLI::Validator(
            [](const std::string& id) {
                return id.empty() ? "a version id is not empty" : std::string();
            },
            "ID"))
        ->group("Object");
}

}  // namespace quilo::cli
