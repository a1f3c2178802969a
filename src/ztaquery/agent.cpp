// ztaquery --agent: the tables as the running agent last sampled them, read
// from its rows endpoint (GET /api/v1/requests, /api/v1/rows?request=NAME)
// instead of the domain. Each JSON row is put back into the table's row
// record (the description's offsets, widths and padding), so that cells
// read and print exactly as they do for a sample taken here.
#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "regular_file.h"
#include "ztaquery.h"

namespace ztaquery {

namespace {

constexpr int kAgentFailed = 1;
// A sample of tens of thousands of rows is a few tens of megabytes; more is
// not an answer of the endpoint.
constexpr std::size_t kMaxAnswer = 256u << 20;
constexpr long kTimeoutSeconds = 30;
// A password file holds one line.
constexpr std::size_t kMaxPasswordFile = 4096;

struct Answer {
    long status = 0;
    std::string body;
    std::string problem;  // set when there was no answer
};

std::size_t Collect(char* data, std::size_t size, std::size_t count, void* out) {
    auto* body = static_cast<std::string*>(out);
    const std::size_t n = size * count;
    if (body->size() + n > kMaxAnswer) return 0;  // ends the transfer
    body->append(data, n);
    return n;
}

// One HTTP session with the agent: the connection is kept between requests.
class AgentClient {
public:
    explicit AgentClient(const AgentAccess& access) : access_(access), curl_(curl_easy_init()) {}
    ~AgentClient() {
        if (curl_ != nullptr) curl_easy_cleanup(curl_);
    }
    AgentClient(const AgentClient&) = delete;
    AgentClient& operator=(const AgentClient&) = delete;

    Answer Get(const std::string& path) {
        Answer answer;
        if (curl_ == nullptr) {
            answer.problem = "cannot make an HTTP client";
            return answer;
        }
        std::string url = access_.url;
        while (!url.empty() && url.back() == '/') url.pop_back();
        url += path;
        char error[CURL_ERROR_SIZE] = "";
        curl_easy_reset(curl_);
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, kTimeoutSeconds);
        curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer.body);
        if (!access_.user.empty()) {
            curl_easy_setopt(curl_, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
            curl_easy_setopt(curl_, CURLOPT_USERNAME, access_.user.c_str());
            curl_easy_setopt(curl_, CURLOPT_PASSWORD, access_.password.c_str());
        }
        if (!access_.cacert.empty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, access_.cacert.c_str());
        if (!access_.cert.empty()) curl_easy_setopt(curl_, CURLOPT_SSLCERT, access_.cert.c_str());
        if (!access_.key.empty()) curl_easy_setopt(curl_, CURLOPT_SSLKEY, access_.key.c_str());
        if (access_.insecure) {
            curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
        }
        CURLcode code = curl_easy_perform(curl_);
        if (code != CURLE_OK) {
            answer.problem = *error != '\0' ? error : curl_easy_strerror(code);
            return answer;
        }
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &answer.status);
        return answer;
    }

private:
    const AgentAccess& access_;
    CURL* curl_;
};

// The first line of a text, for a message.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Every line of a JSON Lines text parsed; false with *problem on a line that
// is not JSON.
bool ParseLines(const std::string& text, std::vector<nlohmann::json>* out, std::string* problem) {
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        if (end > start) {
            nlohmann::json line = nlohmann::json::parse(text.begin() + static_cast<std::ptrdiff_t>(start),
                                                        text.begin() + static_cast<std::ptrdiff_t>(end), nullptr,
                                                        false);
            if (line.is_discarded() || !line.is_object()) {
                *problem = "the agent answered a line that is not a JSON object";
                return false;
            }
            out->push_back(std::move(line));
        }
        start = end + 1;
    }
    return true;
}

// A JSON row put back into the table's row record: text copied up to its
// width and padded as the column is (blanks, else NULs), integers as 32-bit
// ints; a column the row lacks stays zero.
std::vector<char> RecordOf(const zta::TableMeta& table, const nlohmann::json& row) {
    std::vector<char> record(table.row_size, '\0');
    for (unsigned short i = 0; i < table.num_columns; ++i) {
        const zta::ColumnMeta& c = table.columns[i];
        if (static_cast<std::size_t>(c.offset) + c.size > record.size()) continue;
        auto value = row.find(c.name);
        if (value == row.end()) continue;
        char* at = record.data() + c.offset;
        if (c.type == zta::kColumnTypeInteger && value->is_number_integer() && c.size >= sizeof(std::int32_t)) {
            std::int64_t wide = value->get<std::int64_t>();
            auto narrow = static_cast<std::int32_t>(std::clamp<std::int64_t>(
                wide, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
            std::memcpy(at, &narrow, sizeof narrow);
        } else if (c.type == zta::kColumnTypeText && value->is_string()) {
            const std::string& text = value->get_ref<const std::string&>();
            const std::size_t n = std::min<std::size_t>(text.size(), c.size);
            std::memcpy(at, text.data(), n);
            if (c.pad == zta::Pad::blank) std::memset(at + n, ' ', c.size - n);
        }
    }
    return record;
}

// One table's latest rows on the agent, as row records.
struct AgentTable {
    std::string request;
    std::string lines;  // as the agent sent them
    std::vector<std::vector<char>> records;
};

// The rows of the first report request of `table` on the agent; "" or why
// they could not be had.
std::string Fetch(AgentClient& client, const std::vector<nlohmann::json>& requests, const zta::TableMeta& table,
                  AgentTable* out) {
    for (const nlohmann::json& r : requests) {
        if (r.value("table", "") == table.upper && r.contains("request") && r["request"].is_string()) {
            out->request = r["request"].get<std::string>();
            break;
        }
    }
    if (out->request.empty()) return std::string("the agent has no report request of ") + table.upper;
    char* escaped = curl_easy_escape(nullptr, out->request.c_str(), static_cast<int>(out->request.size()));
    if (escaped == nullptr) return "cannot make the request's address";
    Answer answer = client.Get(std::string("/api/v1/rows?request=") + escaped);
    curl_free(escaped);
    if (!answer.problem.empty()) return answer.problem;
    if (answer.status != 200) return table.upper + (": " + FirstLine(answer.body));
    out->lines = std::move(answer.body);
    std::vector<nlohmann::json> rows;
    std::string problem;
    if (!ParseLines(out->lines, &rows, &problem)) return problem;
    for (const nlohmann::json& line : rows) {
        auto row = line.find("row");
        if (row != line.end() && row->is_object()) out->records.push_back(RecordOf(table, *row));
    }
    return "";
}

// The companion's record of the same object as a row of the job's table:
// matched on the companion's keys, each to the table's column with the same
// label (as TableSampler matches them).
class CompanionIndex {
public:
    CompanionIndex(const Job& job, const AgentTable& companion) : joinOn_(companion_join(job)) {
        for (const auto& record : companion.records) {
            std::string k;
            for (const auto& [theirs, mine] : joinOn_) k += StoredCell(record.data(), *theirs) + '\x1f';
            index_.emplace(std::move(k), record.data());
        }
    }
    const char* Find(const char* row) const {
        std::string k;
        for (const auto& [theirs, mine] : joinOn_) {
            if (mine == nullptr) return nullptr;
            k += StoredCell(row, *mine) + '\x1f';
        }
        auto at = index_.find(k);
        return at == index_.end() ? nullptr : at->second;
    }

private:
    JoinColumns joinOn_;
    std::map<std::string, const char*> index_;
};

}  // namespace

std::string TakePassword(AgentAccess& access, const std::string& file) {
    if (access.user.find(':') != std::string::npos) {
        return "--user takes the user name only: give the password with --password-file FILE or " +
               std::string(kPasswordVariable) + ", never on the command line";
    }
    if (file.empty()) {
        const char* variable = std::getenv(kPasswordVariable);
        if (variable == nullptr || *variable == '\0') {
            return "--user " + access.user + ": no password: name a file holding it with --password-file FILE, or set " +
                   kPasswordVariable;
        }
        access.password = variable;
        return "";
    }
    // A password file is its owner's alone, as ssh wants of a private key.
    struct stat status {};
    if (stat(file.c_str(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return "--password-file " + file + ": others than its owner may read it; chmod 600 it";
    }
    std::string text, reason;
    if (!zcommon::ReadRegularFile(file, kMaxPasswordFile, &text, &reason)) {
        return "--password-file " + file + ": " + reason;
    }
    text.erase(std::min(text.find('\n'), text.size()));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) return "--password-file " + file + ": its first line is empty: expected the password";
    access.password = std::move(text);
    return "";
}

int FromAgent(const std::vector<Job>& jobs, const AgentAccess& agent, bool json, bool raw) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status = 0;
    {
        AgentClient client(agent);
        auto fail = [&](const std::string& why) {
            std::fprintf(stderr, "ztaquery: agent %s: %s\n", agent.url.c_str(), why.c_str());
            return kAgentFailed;
        };
        Answer list = client.Get("/api/v1/requests");
        std::vector<nlohmann::json> requests;
        std::string problem;
        if (!list.problem.empty()) {
            status = fail(list.problem);
        } else if (list.status != 200) {
            status = fail(FirstLine(list.body));
        } else if (!ParseLines(list.body, &requests, &problem)) {
            status = fail(problem);
        }
        bool first = true;
        for (const Job& job : jobs) {
            if (status != 0) break;
            AgentTable table;
            std::string why = Fetch(client, requests, *job.table, &table);
            if (!why.empty()) {
                status = fail(why);
                break;
            }
            if (json) {
                std::fwrite(table.lines.data(), 1, table.lines.size(), stdout);
                std::fflush(stdout);
                continue;
            }
            // The companion's columns when the agent samples the companion
            // too; blank otherwise.
            AgentTable companion;
            bool paired = job.companion != nullptr && Fetch(client, requests, *job.companion, &companion).empty();
            std::unique_ptr<CompanionIndex> index;
            if (paired) index = std::make_unique<CompanionIndex>(job, companion);
            if (!first) std::printf("\n");
            PrintTable(job, table.records.size(), "", [&](std::size_t r, const Shown& shown) -> std::string {
                const char* row = table.records[r].data();
                if (!shown.companion) return Cell(row, *shown.column, raw);
                const char* theirs = index ? index->Find(row) : nullptr;
                return theirs == nullptr ? "" : Cell(theirs, *shown.column, raw);
            });
            std::fflush(stdout);
            first = false;
        }
    }
    curl_global_cleanup();
    return status;
}

}  // namespace ztaquery
