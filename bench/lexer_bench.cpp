// Lexes a generated template of about 10 MB and prints the throughput of the byte cursor and,
// for comparison, of the literal char-indexed lexer that the tests check it against.
#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include "core/lexer.h"
#include "tests/cpp/char_lexer.h"

namespace {

constexpr size_t kTargetBytes = 10 * 1024 * 1024;
constexpr int kRounds = 5;

// Paragraphs of prose with interpolations, directive blocks, escapes and a fenced block, in the
// proportions of a typical prompt template.
std::string generate_source() {
    static const char* const kPieces[] = {
        "Dear {{ user.name }}, thank you for writing to {{ company | default('us') }}.\n",
        "This paragraph is plain Markdown text with *emphasis*, `code` and a [link](x).\n"
        "It runs over several lines so that the text scan has long runs to skip.\n",
        "@if user.premium and not user.suspended:\n",
        "Your plan: {{ upper(user.plan) }} \xE2\x80\x94 renewed on {{ user.renewal_date }}.\n",
        "@else:\n",
        "Upgrade today to get {{ join(features, \", \") }} and more.\n",
        "@end\n",
        "@for item in items:\n- {{ item.title }}: {{ item.count }} \\{{ literal }}\n@end\n",
        "```python\nprint(\"{{ not an interpolation }}\")\n@if not a directive\n```\n",
        "Caf\xC3\xA9 cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
        "e, na\xC3\xAFve r\xC3\xA9sum\xC3\xA9.\n\n",
    };
    std::string source = "---\ntitle: benchmark\nauthor: vorpel\n---\n";
    source.reserve(kTargetBytes + 512);
    size_t i = 0;
    while (source.size() < kTargetBytes) {
        source += kPieces[i % std::size(kPieces)];
        ++i;
    }
    return source;
}

template <class Lex>
bool measure(const char* label, const std::string& source, Lex lex) {
    std::vector<double> seconds;
    size_t token_count = 0;
    for (int round = 0; round < kRounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const tyx::Result<std::vector<tyx::Token>> tokens = lex(source);
        const auto stop = std::chrono::steady_clock::now();
        if (!tokens.ok()) {
            std::cerr << label << ": lexing failed: " << tokens.error().text << '\n';
            return false;
        }
        token_count = tokens.value().size();
        seconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    const double best = seconds.front();
    const double median = seconds[seconds.size() / 2];
    const double megabytes = static_cast<double>(source.size()) / (1024.0 * 1024.0);
    std::cout << std::fixed << std::setprecision(1) << label << ": " << megabytes << " MB, "
              << token_count << " tokens, best " << best * 1e3 << " ms (" << megabytes / best
              << " MB/s), median " << median * 1e3 << " ms (" << megabytes / median << " MB/s)\n";
    return true;
}

}  // namespace

int main() {
    const std::string source = generate_source();
    const bool ok = measure("lexer", source,
                            [](const std::string& s) { return tyx::tokenize(s, "bench.tyx"); }) &&
                    measure("char-indexed reference", source, [](const std::string& s) {
                        return tyx::testing::char_tokenize(s, "bench.tyx");
                    });
    return ok ? 0 : 1;
}
