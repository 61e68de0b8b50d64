#pragma once

// Internal to the validation library: judges a book in one streaming pass, without building its
// tree. Not for the engine's headers: it names libxml2 types.

#include <libxml/xmlschemas.h>

#include <QString>

#include "validation/xml_reading.h"

enum class StreamVerdict {
  Valid,
  NotLoadable,    // not well-formed (or not namespace-well-formed), or not a readable regular file
  NotConforming,  // loads, but does not conform to the schema
  NeedsTree,      // the stream cannot judge this book as the tree would: judge it by its tree
  NeedsImages,    // an image the validator must judge itself: stream again, StreamImages::ToValidator
};

// Why a book must be judged by its tree.
enum class TreeCause {
  None,
  Entities,  // its document type declares entities or attribute defaults, or it refers to entities
  EqualIds,  // two equal xs:ID values where the stream cannot give the tree's complaint
};

struct StreamResult {
  StreamVerdict verdict = StreamVerdict::NotLoadable;
  // For a book that loads (valid or not conforming): the root element with the <description>
  // subtree, as the full tree holds them, and nothing else of the book.
  XmlDocPtr head;
  QString reason;     // why, when the book is not valid
  BookDigest digest;  // of the book's bytes, when they could be read
  // Not conforming, and judged no further than the schema's first complaint: the head may hold
  // less than the root's <description>.
  bool stoppedAtComplaint = false;
  TreeCause treeCause = TreeCause::None;  // for NeedsTree
};

// How much of a book the schema judges. A strict run asks only whether a book conforms, and most
// books that do not complain in their <description>: the schema can stop at its first complaint.
// The book is still parsed to its end, to tell one that does not load from one that does not
// conform, and for its digest; only the validation and the head stop.
enum class StreamDepth { WholeBook, UntilFirstComplaint };

// Who judges the images (<binary>, xs:base64Binary, most of the bytes of many books). libxml2's
// check branches on every character and needs the whole value gathered: a third of the time of a
// run over books of large images, and memory as large as the largest image. So the stream judges
// them itself, by libxml2's lexical rule, as they pass; only a book with an image that rule
// refuses (or one the stream cannot follow) is streamed again with its images handed to the
// validator, which then gives its own message.
enum class StreamImages { JudgedHere, ToValidator };

// Parses the book open as file (named path) once, validating it against the schema of validCtxt as it goes.
// Validation messages reach schemaErrors (the collector validCtxt reports to), which is cleared
// first. A book whose document type declares entities or attribute defaults, or that refers to
// an entity, is given back as NeedsTree: the tree validator sees entities and defaults
// differently. Two equal xs:ID values, which libxml2's streaming validator does not compare, the
// stream finds itself and complains of as the tree does; only where it cannot tell which of two
// complaints the tree would give first is the book given back as NeedsTree too. A document type
// declaration alone is streamed.
StreamResult ValidateBookStream(xmlSchemaValidCtxtPtr validCtxt, XmlErrorCollector& schemaErrors,
                                BookFile& file, const QString& path,
                                StreamDepth depth = StreamDepth::WholeBook,
                                StreamImages images = StreamImages::JudgedHere);

// The same pass over bytes that read (libxml2's read callback) gives from context: a book that is
// not a file of its own. name stands for it in messages.
StreamResult ValidateBookStream(xmlSchemaValidCtxtPtr validCtxt, XmlErrorCollector& schemaErrors,
                                const QString& name, xmlInputReadCallback read, void* context,
                                StreamDepth depth = StreamDepth::WholeBook,
                                StreamImages images = StreamImages::JudgedHere);
