#include "application/console/KBERTFWriter.h"

#include <QTextBlock>
#include <QTextDocument>
#include <QTextFragment>
#include <vector>

namespace {

// Indices into a table that grows as values are first seen.
template <class T>
class Table {
public:
    int indexOf(const T& value) {
        for (std::size_t i = 0; i < values_.size(); ++i) {
            if (values_[i] == value) {
                return static_cast<int>(i);
            }
        }
        values_.push_back(value);
        return static_cast<int>(values_.size() - 1);
    }
    const std::vector<T>& values() const { return values_; }

private:
    std::vector<T> values_;
};

void appendEscaped(std::string& out, const QString& text) {
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit == '\\' || unit == '{' || unit == '}') {
            out += '\\';
            out += static_cast<char>(unit);
        } else if (unit == '\t') {
            out += "\\tab ";
        } else if (unit == QChar::LineSeparator) {
            out += "\\line ";
        } else if (unit >= 0x20 && unit < 0x80) {
            out += static_cast<char>(unit);
        } else if (unit >= 0x80) {
            // A signed 16-bit number, as RTF readers expect.
            out += "\\u" + std::to_string(static_cast<std::int16_t>(unit)) + '?';
        }
    }
}

void appendRun(std::string& out, const QTextFragment& fragment, Table<QString>& fonts,
               Table<QColor>& colors) {
    const QTextCharFormat format = fragment.charFormat();
    const int font = fonts.indexOf(format.font().family());
    const QBrush foreground = format.foreground();
    // Colour 0 is the reader's default; the table's own entries start at 1.
    const int color =
        format.hasProperty(QTextFormat::ForegroundBrush) && foreground.style() != Qt::NoBrush
            ? colors.indexOf(foreground.color().toRgb()) + 1
            : 0;
    out += "\\f" + std::to_string(font);
    const qreal points = format.font().pointSizeF();
    if (points > 0) {
        out += "\\fs" + std::to_string(static_cast<int>(points * 2 + 0.5));
    }
    out += "\\cf" + std::to_string(color) + ' ';
    appendEscaped(out, fragment.text());
}

} // namespace

std::string KBERTFDataForDocument(const QTextDocument& document) {
    Table<QString> fonts;
    Table<QColor> colors;
    std::string body;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment) {
            appendRun(body, fragment.fragment(), fonts, colors);
        }
        if (block.next().isValid()) {
            body += "\\par\n";
        }
    }
    std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\n{\\fonttbl";
    if (fonts.values().empty()) {
        fonts.indexOf(document.defaultFont().family());
    }
    for (std::size_t i = 0; i < fonts.values().size(); ++i) {
        out += "{\\f" + std::to_string(i) + "\\fnil ";
        appendEscaped(out, fonts.values()[i]);
        out += ";}";
    }
    out += "}\n{\\colortbl;";
    for (const QColor& color : colors.values()) {
        out += "\\red" + std::to_string(color.red()) + "\\green" + std::to_string(color.green()) +
               "\\blue" + std::to_string(color.blue()) + ';';
    }
    out += "}\n" + body + "}\n";
    return out;
}
