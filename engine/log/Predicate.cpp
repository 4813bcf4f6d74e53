#include "engine/log/Predicate.h"

#include <algorithm>
#include <cctype>
#include <variant>
#include <vector>

namespace logtool {

namespace {

enum class Field { Subsystem, ProcessImagePath };
enum class Operator { Equal, NotEqual, BeginsWith, EndsWith, Contains };
enum class Junction { And, Or };

struct Token {
    enum class Kind { Open, Close, And, Or, Operator, Word, String, End } kind;
    std::string text;
    Operator op = Operator::Equal;
    std::size_t offset = 0;
};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool isWordCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

} // namespace

struct Predicate::Node {
    struct Comparison {
        Field field;
        Operator op;
        std::string value;
    };
    struct Combination {
        Junction junction;
        std::shared_ptr<const Node> left, right;
    };
    std::variant<Comparison, Combination> content;
};

namespace {

using Node = Predicate::Node;

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::shared_ptr<const Node> parse(std::string* error) {
        if (!tokenize()) {
            return fail(error);
        }
        auto root = disjunction();
        if (root && current().kind != Token::Kind::End) {
            problem_ = "unexpected '" + current().text + "'";
            problemOffset_ = current().offset;
            root = nullptr;
        }
        return root ? root : fail(error);
    }

private:
    std::shared_ptr<const Node> fail(std::string* error) {
        if (error) {
            *error = problem_ + " at offset " + std::to_string(problemOffset_);
        }
        return nullptr;
    }

    bool tokenize() {
        std::size_t i = 0;
        while (i < text_.size()) {
            const char c = text_[i];
            const std::size_t start = i;
            if (std::isspace(static_cast<unsigned char>(c))) {
                ++i;
            } else if (c == '(' || c == ')') {
                tokens_.push_back({c == '(' ? Token::Kind::Open : Token::Kind::Close,
                                   std::string(1, c), Operator::Equal, start});
                ++i;
            } else if (text_.substr(i, 2) == "&&" || text_.substr(i, 2) == "||") {
                tokens_.push_back({c == '&' ? Token::Kind::And : Token::Kind::Or,
                                   std::string(text_.substr(i, 2)), Operator::Equal, start});
                i += 2;
            } else if (text_.substr(i, 2) == "==" || text_.substr(i, 2) == "!=") {
                tokens_.push_back({Token::Kind::Operator, std::string(text_.substr(i, 2)),
                                   c == '=' ? Operator::Equal : Operator::NotEqual, start});
                i += 2;
            } else if (c == '=') {
                tokens_.push_back({Token::Kind::Operator, "=", Operator::Equal, start});
                ++i;
            } else if (c == '\'' || c == '"') {
                std::string value;
                ++i;
                while (i < text_.size() && text_[i] != c) {
                    if (text_[i] == '\\' && i + 1 < text_.size()) {
                        ++i;
                    }
                    value += text_[i++];
                }
                if (i == text_.size()) {
                    problem_ = "unterminated string";
                    problemOffset_ = start;
                    return false;
                }
                ++i;
                tokens_.push_back({Token::Kind::String, value, Operator::Equal, start});
            } else if (isWordCharacter(c)) {
                while (i < text_.size() && isWordCharacter(text_[i])) {
                    ++i;
                }
                tokens_.push_back(wordToken(text_.substr(start, i - start), start));
            } else {
                problem_ = "unexpected '" + std::string(1, c) + "'";
                problemOffset_ = start;
                return false;
            }
        }
        tokens_.push_back({Token::Kind::End, "end of predicate", Operator::Equal, text_.size()});
        return true;
    }

    static Token wordToken(std::string_view word, std::size_t offset) {
        static constexpr std::pair<const char*, Operator> kOperatorWords[] = {
            {"beginswith", Operator::BeginsWith},
            {"endswith", Operator::EndsWith},
            {"contains", Operator::Contains},
        };
        for (const auto& [name, op] : kOperatorWords) {
            if (equalsIgnoringCase(word, name)) {
                return {Token::Kind::Operator, std::string(word), op, offset};
            }
        }
        if (equalsIgnoringCase(word, "and")) {
            return {Token::Kind::And, std::string(word), Operator::Equal, offset};
        }
        if (equalsIgnoringCase(word, "or")) {
            return {Token::Kind::Or, std::string(word), Operator::Equal, offset};
        }
        return {Token::Kind::Word, std::string(word), Operator::Equal, offset};
    }

    const Token& current() const { return tokens_[position_]; }

    bool expect(Token::Kind kind, const char* what) {
        if (current().kind != kind) {
            problem_ = std::string("expected ") + what + ", found '" + current().text + "'";
            problemOffset_ = current().offset;
            return false;
        }
        ++position_;
        return true;
    }

    std::shared_ptr<const Node> combination(Junction junction, Token::Kind kind,
                                            std::shared_ptr<const Node> (Parser::*operand)()) {
        auto left = (this->*operand)();
        while (left && current().kind == kind) {
            ++position_;
            auto right = (this->*operand)();
            if (!right) {
                return nullptr;
            }
            left = std::make_shared<const Node>(
                Node{Node::Combination{junction, std::move(left), std::move(right)}});
        }
        return left;
    }

    std::shared_ptr<const Node> disjunction() {
        return combination(Junction::Or, Token::Kind::Or, &Parser::conjunction);
    }

    std::shared_ptr<const Node> conjunction() {
        return combination(Junction::And, Token::Kind::And, &Parser::operand);
    }

    std::shared_ptr<const Node> operand() {
        if (current().kind == Token::Kind::Open) {
            ++position_;
            auto inner = disjunction();
            if (!inner || !expect(Token::Kind::Close, "')'")) {
                return nullptr;
            }
            return inner;
        }
        return comparison();
    }

    std::shared_ptr<const Node> comparison() {
        const Token& fieldToken = current();
        Field field;
        if (fieldToken.kind == Token::Kind::Word && fieldToken.text == "subsystem") {
            field = Field::Subsystem;
        } else if (fieldToken.kind == Token::Kind::Word && fieldToken.text == "processImagePath") {
            field = Field::ProcessImagePath;
        } else {
            problem_ =
                fieldToken.kind == Token::Kind::Word
                    ? "unknown field '" + fieldToken.text + "' (subsystem or processImagePath)"
                    : "expected a field, found '" + fieldToken.text + "'";
            problemOffset_ = fieldToken.offset;
            return nullptr;
        }
        ++position_;
        const Operator op = current().op;
        if (!expect(Token::Kind::Operator,
                    "an operator (==, !=, beginswith, endswith, contains)")) {
            return nullptr;
        }
        std::string value = current().text;
        if (!expect(Token::Kind::String, "a quoted string")) {
            return nullptr;
        }
        return std::make_shared<const Node>(Node{Node::Comparison{field, op, std::move(value)}});
    }

    std::string_view text_;
    std::vector<Token> tokens_;
    std::size_t position_ = 0;
    std::string problem_;
    std::size_t problemOffset_ = 0;
};

bool compare(Operator op, std::string_view actual, std::string_view value) {
    switch (op) {
    case Operator::Equal:
        return actual == value;
    case Operator::NotEqual:
        return actual != value;
    case Operator::BeginsWith:
        return actual.starts_with(value);
    case Operator::EndsWith:
        return actual.ends_with(value);
    case Operator::Contains:
        return actual.find(value) != std::string_view::npos;
    }
    return false;
}

bool evaluate(const Node& node, const LogEntry& entry) {
    if (const auto* comparison = std::get_if<Node::Comparison>(&node.content)) {
        const std::string& actual =
            comparison->field == Field::Subsystem ? entry.subsystem : entry.processImagePath;
        return compare(comparison->op, actual, comparison->value);
    }
    const auto& combination = std::get<Node::Combination>(node.content);
    return combination.junction == Junction::And
               ? evaluate(*combination.left, entry) && evaluate(*combination.right, entry)
               : evaluate(*combination.left, entry) || evaluate(*combination.right, entry);
}

std::optional<std::set<std::string>> requiredSubsystems(const Node& node) {
    if (const auto* comparison = std::get_if<Node::Comparison>(&node.content)) {
        if (comparison->field == Field::Subsystem && comparison->op == Operator::Equal) {
            return std::set<std::string>{comparison->value};
        }
        return std::nullopt;
    }
    const auto& combination = std::get<Node::Combination>(node.content);
    auto left = requiredSubsystems(*combination.left);
    auto right = requiredSubsystems(*combination.right);
    if (combination.junction == Junction::Or) {
        if (!left || !right) {
            return std::nullopt;
        }
        left->insert(right->begin(), right->end());
        return left;
    }
    if (left && right) {
        std::set<std::string> both;
        std::set_intersection(left->begin(), left->end(), right->begin(), right->end(),
                              std::inserter(both, both.end()));
        return both;
    }
    return left ? left : right;
}

} // namespace

std::optional<Predicate> Predicate::parse(std::string_view text, std::string* error) {
    auto root = Parser(text).parse(error);
    if (!root) {
        return std::nullopt;
    }
    return Predicate(std::move(root));
}

bool Predicate::matches(const LogEntry& entry) const {
    return evaluate(*root_, entry);
}

std::optional<std::set<std::string>> Predicate::subsystems() const {
    return requiredSubsystems(*root_);
}

} // namespace logtool
