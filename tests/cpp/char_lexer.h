// A deliberately literal lexer: the source decoded into code points with a parallel list of
// byte offsets, every step indexing chars. The byte cursor of core/lexer.cpp must give the
// same tokens and errors; tests compare the two and the benchmark times both.
#pragma once

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/lexer.h"
#include "core/result.h"

namespace tyx::testing {

class CharLexer {
  public:
    CharLexer(std::string_view source, std::string_view name) : source_(source), name_(name) {
        int32_t i = 0;
        const auto length = static_cast<int32_t>(source.size());
        while (i < length) {
            const int32_t start = i;
            UChar32 c = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wconversion"
            U8_NEXT(source.data(), i, length, c);
#pragma GCC diagnostic pop
            // An ill-formed sequence is one char that is neither ASCII nor white space.
            chars_.push_back(c < 0 ? U'\xFFFD' : static_cast<char32_t>(c));
            offsets_.push_back(static_cast<uint64_t>(start));
        }
    }

    Result<std::vector<Token>> run() {
        if (chars_.empty()) return std::move(tokens_);
        if (source_.starts_with("---\n") || source_.starts_with("---\r\n")) {
            TYX_TRY(frontmatter());
        }
        while (pos_ < chars_.size())
            TYX_TRY(step());
        if (fence_)
            return make_syntax_error_at("unclosed code fence", name_, source_, fence_->offset, 3);
        return std::move(tokens_);
    }

  private:
    struct Fence {
        size_t length;
        char32_t marker;
        uint64_t offset;
    };

    uint64_t offset(size_t i) const {
        return i < chars_.size() ? offsets_[i] : source_.size();
    }
    char32_t at(size_t i) const {
        return i < chars_.size() ? chars_[i] : 0;
    }
    bool line_start(size_t i) const {
        return i == 0 || chars_[i - 1] == U'\n';
    }
    std::string_view slice(size_t from, size_t to) const {
        return source_.substr(offset(from), offset(to) - offset(from));
    }

    std::optional<FenceMarker> detect(size_t i) const {
        while (i < chars_.size() && (at(i) == U' ' || at(i) == U'\t' || at(i) == U'>'))
            ++i;
        if (i >= chars_.size() || (at(i) != U'`' && at(i) != U'~')) return std::nullopt;
        const char32_t marker = at(i);
        size_t length = 0;
        while (i < chars_.size() && at(i) == marker) {
            ++length;
            ++i;
        }
        if (length < 3) return std::nullopt;
        bool bare = true;
        while (i < chars_.size() && at(i) != U'\n' && at(i) != U'\r') {
            if (at(i) != U' ' && at(i) != U'\t') bare = false;
            ++i;
        }
        return FenceMarker{length, marker, bare};
    }

    bool closes(size_t i) const {
        const auto m = detect(i);
        return m && fence_ && m->bare && m->marker == fence_->marker && m->length >= fence_->length;
    }

    std::string_view take_line() {
        const size_t start = pos_;
        while (pos_ < chars_.size() && at(pos_) != U'\n' && at(pos_) != U'\r')
            ++pos_;
        const std::string_view line = slice(start, pos_);
        if (at(pos_) == U'\r' && pos_ < chars_.size()) ++pos_;
        if (at(pos_) == U'\n' && pos_ < chars_.size()) ++pos_;
        return line;
    }

    void emit(TokenKind kind, size_t index, std::string_view text = {}) {
        tokens_.push_back(Token{kind, offset(index), text});
    }

    Status frontmatter() {
        emit(TokenKind::FrontmatterDelimiter, 0);
        size_t content = 3;
        if (at(content) == U'\r') ++content;
        if (at(content) == U'\n') ++content;
        size_t close = content;
        for (;; ++close) {
            if (close > chars_.size()) {
                return make_syntax_error_at("unclosed frontmatter (missing closing ---)", name_,
                                            source_, 0, 3);
            }
            if (line_start(close) && at(close) == U'-' && at(close + 1) == U'-' &&
                at(close + 2) == U'-' &&
                (close + 3 >= chars_.size() || at(close + 3) == U'\n' || at(close + 3) == U'\r')) {
                if (close + 2 < chars_.size()) break;
            }
        }
        emit(TokenKind::Frontmatter, content, slice(content, close));
        emit(TokenKind::FrontmatterDelimiter, close);
        pos_ = close + 3;
        if (pos_ < chars_.size() && at(pos_) == U'\r') ++pos_;
        if (pos_ < chars_.size() && at(pos_) == U'\n') ++pos_;
        return {};
    }

    Status step() {
        const bool start = line_start(pos_);
        if (start) {
            if (const auto m = detect(pos_)) {
                if (!fence_) {
                    const size_t line = pos_;
                    emit(TokenKind::CodeFence, line, take_line());
                    fence_ = Fence{m->length, m->marker, offset(line)};
                    return {};
                }
                if (closes(pos_)) {
                    const size_t line = pos_;
                    emit(TokenKind::CodeFence, line, take_line());
                    fence_.reset();
                    return {};
                }
            }
            if (fence_) return code();
            if (at(pos_) == U'@') {
                const size_t first = pos_;
                while (pos_ < chars_.size() && at(pos_) != U'\n')
                    ++pos_;
                size_t end = pos_;
                while (end > first && at(end - 1) == U'\r')
                    --end;
                emit(TokenKind::Directive, first, slice(first, end));
                if (pos_ < chars_.size()) ++pos_;
                return {};
            }
        }
        if (!start && fence_) return code();
        if (chars_.size() - pos_ >= 3 && at(pos_) == U'\\' && at(pos_ + 1) == U'{' &&
            at(pos_ + 2) == U'{') {
            emit(TokenKind::EscapedBrace, pos_);
            pos_ += 3;
            return {};
        }
        if (at(pos_) == U'{' && pos_ + 1 < chars_.size() && at(pos_ + 1) == U'{') {
            return interpolation();
        }
        const size_t first = pos_;
        while (pos_ < chars_.size()) {
            if (pos_ != first) {
                if (at(pos_) == U'\\' && at(pos_ + 1) == U'{' && at(pos_ + 2) == U'{' &&
                    pos_ + 2 < chars_.size()) {
                    break;
                }
                if (at(pos_) == U'{' && at(pos_ + 1) == U'{' && pos_ + 1 < chars_.size()) break;
                if (line_start(pos_) && (at(pos_) == U'@' || detect(pos_))) break;
            }
            ++pos_;
        }
        if (pos_ > first) emit(TokenKind::Text, first, slice(first, pos_));
        return {};
    }

    Status code() {
        const size_t first = pos_;
        ++pos_;
        while (pos_ < chars_.size() && !(line_start(pos_) && closes(pos_)))
            ++pos_;
        emit(TokenKind::CodeBlock, first, slice(first, pos_));
        return {};
    }

    Status interpolation() {
        const size_t first = pos_;
        size_t i = pos_ + 2;
        std::vector<char32_t> collected;
        std::vector<size_t> indices;
        char32_t quote = 0;
        while (true) {
            if (i >= chars_.size()) {
                return make_syntax_error_at(
                    "unclosed `{{` interpolation \xE2\x80\x94 to include a literal `{{` in "
                    "output, escape it as `\\{{`",
                    name_, source_, offset(first), 2);
            }
            const char32_t c = at(i);
            if (quote == 0 && c == U'}' && at(i + 1) == U'}' && i + 1 < chars_.size()) break;
            indices.push_back(i);
            if (quote != 0 && c == U'\\') {
                ++i;
                if (i < chars_.size()) indices.push_back(i);
            } else if (quote != 0 && c == quote) {
                quote = 0;
            } else if (quote == 0 && (c == U'"' || c == U'\'')) {
                quote = c;
            }
            ++i;
        }
        size_t lo = 0;
        size_t hi = indices.size();
        while (lo < hi && u_isUWhiteSpace(static_cast<UChar32>(at(indices[lo]))))
            ++lo;
        while (hi > lo && u_isUWhiteSpace(static_cast<UChar32>(at(indices[hi - 1]))))
            --hi;
        // The kept characters are consecutive, so their text is one slice.
        emit(TokenKind::Interpolation, first,
             lo < hi ? slice(indices[lo], indices[hi - 1] + 1) : std::string_view());
        pos_ = i + 2;
        return {};
    }

    std::string_view source_;
    std::string_view name_;
    std::vector<char32_t> chars_;
    std::vector<uint64_t> offsets_;
    size_t pos_ = 0;
    std::vector<Token> tokens_;
    std::optional<Fence> fence_;
};

inline Result<std::vector<Token>> char_tokenize(std::string_view source, std::string_view name) {
    return CharLexer(source, name).run();
}

}  // namespace tyx::testing
