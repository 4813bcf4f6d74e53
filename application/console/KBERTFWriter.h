#pragma once

#include <string>

class QTextDocument;

// Writes a document as RTF 1 (Qt reads no RTF and writes none): a font table of the runs'
// families, a colour table of their foreground colours, and each run with its font, size
// and colour. Paragraphs end with \par; characters outside ASCII are written as \uN with
// "?" as the fallback, characters outside the basic plane as their two UTF-16 halves.
// Runs without a foreground colour use the reader's default (\cf0).
std::string KBERTFDataForDocument(const QTextDocument& document);
