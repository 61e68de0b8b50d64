#include "binding/fictionbook_21.h"

#include <libxml/tree.h>

#include "base/names.h"

namespace {

// The classes each element type gives its children, in its own namespace.

constexpr ChildClass kFictionBookChildren[] = {Reg<TXMLBinary>("binary"), Reg<TXMLBody>("body"),
                                               Reg<TXMLDescription>("description"),
                                               Reg<TXMLStylesheet>("stylesheet")};

constexpr ChildClass kDescriptionChildren[] = {
    Reg<TXMLCustominfo>("custom-info"),       Reg<TXMLDocumentinfo>("document-info"),
    Reg<TXMLShareInstructionType>("output"),  Reg<TXMLPublishinfo>("publish-info"),
    Reg<TXMLTitleinfoType>("src-title-info"), Reg<TXMLTitleinfoType>("title-info")};

constexpr ChildClass kTitleinfoChildren[] = {Reg<TXMLAnnotationType>("annotation"),
                                             Reg<TXMLAuthorType>("author"),
                                             Reg<TXMLTextFieldType>("book-title"),
                                             Reg<TXMLCoverpage>("coverpage"),
                                             Reg<TXMLDateType>("date"),
                                             Reg<TXMLTextFieldType>("keywords"),
                                             Reg<TXMLSequenceType>("sequence"),
                                             Reg<TXMLAuthorType>("translator")};

constexpr ChildClass kAuthorChildren[] = {
    Reg<TXMLTextFieldType>("first-name"), Reg<TXMLTextFieldType>("last-name"),
    Reg<TXMLTextFieldType>("middle-name"), Reg<TXMLTextFieldType>("nickname")};

constexpr ChildClass kAnnotationChildren[] = {Reg<TXMLCiteType>("cite"), Reg<TXMLPType>("p"),
                                              Reg<TXMLPoemType>("poem"), Reg<TXMLPType>("subtitle"),
                                              Reg<TXMLTableType>("table")};

// Styled text, paragraphs and named styles hold the same runs.
constexpr ChildClass kStyledRunChildren[] = {
    Reg<TXMLLinkType>("a"),           Reg<TXMLStyleType>("code"),          Reg<TXMLStyleType>("emphasis"),
    Reg<TXMLImageType>("image"),      Reg<TXMLStyleType>("strikethrough"), Reg<TXMLStyleType>("strong"),
    Reg<TXMLNamedStyleType>("style"), Reg<TXMLStyleType>("sub"),           Reg<TXMLStyleType>("sup")};

constexpr ChildClass kPoemChildren[] = {Reg<TXMLDateType>("date"), Reg<TXMLEpigraphType>("epigraph"),
                                        Reg<TXMLStanza>("stanza"), Reg<TXMLPType>("text-author"),
                                        Reg<TXMLTitleType>("title")};

constexpr ChildClass kTitleChildren[] = {Reg<TXMLPType>("p")};

constexpr ChildClass kEpigraphChildren[] = {Reg<TXMLCiteType>("cite"), Reg<TXMLPType>("p"),
                                            Reg<TXMLPoemType>("poem"), Reg<TXMLPType>("text-author")};

constexpr ChildClass kCiteChildren[] = {Reg<TXMLPType>("p"), Reg<TXMLPoemType>("poem"),
                                        Reg<TXMLPType>("subtitle"), Reg<TXMLTableType>("table"),
                                        Reg<TXMLPType>("text-author")};

constexpr ChildClass kStanzaChildren[] = {Reg<TXMLPType>("subtitle"), Reg<TXMLTitleType>("title"),
                                          Reg<TXMLPType>("v")};

constexpr ChildClass kDocumentinfoChildren[] = {
    Reg<TXMLAuthorType>("author"), Reg<TXMLDateType>("date"), Reg<TXMLAnnotationType>("history"),
    Reg<TXMLTextFieldType>("program-used"), Reg<TXMLTextFieldType>("src-ocr")};

constexpr ChildClass kPublishinfoChildren[] = {
    Reg<TXMLTextFieldType>("book-name"), Reg<TXMLTextFieldType>("city"), Reg<TXMLTextFieldType>("isbn"),
    Reg<TXMLTextFieldType>("publisher"), Reg<TXMLSequenceType>("sequence")};

constexpr ChildClass kShareInstructionChildren[] = {Reg<TXMLOutPutDocumentType>("output-document-class"),
                                                    Reg<TXMLPartShareInstructionType>("part")};

constexpr ChildClass kBodyChildren[] = {Reg<TXMLEpigraphType>("epigraph"), Reg<TXMLImageType>("image"),
                                        Reg<TXMLSectionType>("section"), Reg<TXMLTitleType>("title")};

constexpr ChildClass kSectionChildren[] = {Reg<TXMLAnnotationType>("annotation"),
                                           Reg<TXMLCiteType>("cite"),
                                           Reg<TXMLEpigraphType>("epigraph"),
                                           Reg<TXMLImageType>("image"),
                                           Reg<TXMLPType>("p"),
                                           Reg<TXMLPoemType>("poem"),
                                           Reg<TXMLSectionType>("section"),
                                           Reg<TXMLPType>("subtitle"),
                                           Reg<TXMLTableType>("table"),
                                           Reg<TXMLTitleType>("title")};

// Inside a link, emphasis, strong and style cannot hold another link.
constexpr ChildClass kLinkChildren[] = {Reg<TXMLStyleType>("code"),       Reg<TXMLStyleLinkType>("emphasis"),
                                        Reg<TXMLImageType>("image"),      Reg<TXMLStyleType>("strikethrough"),
                                        Reg<TXMLStyleLinkType>("strong"), Reg<TXMLStyleLinkType>("style"),
                                        Reg<TXMLStyleType>("sub"),        Reg<TXMLStyleType>("sup")};

constexpr ChildClass kStyleLinkChildren[] = {
    Reg<TXMLStyleLinkType>("emphasis"), Reg<TXMLStyleLinkType>("strong"), Reg<TXMLStyleLinkType>("style")};

constexpr ChildClass kTableChildren[] = {Reg<TXMLTr>("tr")};
constexpr ChildClass kTrChildren[] = {Reg<TXMLPType>("td")};
constexpr ChildClass kCoverpageChildren[] = {Reg<TXMLImageType>("image")};
constexpr ChildClass kSequenceChildren[] = {Reg<TXMLSequenceType>("sequence")};
constexpr ChildClass kOutPutDocumentChildren[] = {Reg<TXMLPartShareInstructionType>("part")};

void AppendText(const xmlNode* node, QString& text) {
  if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
    text += QString::fromUtf8(reinterpret_cast<const char*>(node->content));
  }
  if (node->type != XML_ELEMENT_NODE) return;
  for (const xmlNode* child = node->children; child; child = child->next) AppendText(child, text);
}

}  // namespace

TXMLFictionBook::TXMLFictionBook(const NodeInit& init) : TXMLNode(init, kFictionBookChildren) {}
TXMLDescription::TXMLDescription(const NodeInit& init) : TXMLNode(init, kDescriptionChildren) {}
TXMLTitleinfoType::TXMLTitleinfoType(const NodeInit& init) : TXMLNode(init, kTitleinfoChildren) {}
TXMLAuthorType::TXMLAuthorType(const NodeInit& init) : TXMLNode(init, kAuthorChildren) {}
TXMLAnnotationType::TXMLAnnotationType(const NodeInit& init) : TXMLNode(init, kAnnotationChildren) {}
TXMLStyleType::TXMLStyleType(const NodeInit& init) : TXMLStyledRuns(init, kStyledRunChildren) {}
TXMLPoemType::TXMLPoemType(const NodeInit& init) : TXMLNode(init, kPoemChildren) {}
TXMLTitleType::TXMLTitleType(const NodeInit& init) : TXMLNode(init, kTitleChildren) {}
TXMLEpigraphType::TXMLEpigraphType(const NodeInit& init) : TXMLNode(init, kEpigraphChildren) {}
TXMLCiteType::TXMLCiteType(const NodeInit& init) : TXMLNode(init, kCiteChildren) {}
TXMLStanza::TXMLStanza(const NodeInit& init) : TXMLNode(init, kStanzaChildren) {}
TXMLDocumentinfo::TXMLDocumentinfo(const NodeInit& init) : TXMLNode(init, kDocumentinfoChildren) {}
TXMLPublishinfo::TXMLPublishinfo(const NodeInit& init) : TXMLNode(init, kPublishinfoChildren) {}
TXMLShareInstructionType::TXMLShareInstructionType(const NodeInit& init)
    : TXMLNode(init, kShareInstructionChildren) {}
TXMLBody::TXMLBody(const NodeInit& init) : TXMLNode(init, kBodyChildren) {}
TXMLSectionType::TXMLSectionType(const NodeInit& init) : TXMLNode(init, kSectionChildren) {}
TXMLNamedStyleType::TXMLNamedStyleType(const NodeInit& init) : TXMLStyledRuns(init, kStyledRunChildren) {}
TXMLLinkType::TXMLLinkType(const NodeInit& init) : TXMLXLinkNode(init, kLinkChildren) {}
TXMLStyleLinkType::TXMLStyleLinkType(const NodeInit& init) : TXMLNode(init, kStyleLinkChildren) {}
TXMLTableType::TXMLTableType(const NodeInit& init) : TXMLTypedList(init, kTableChildren, "tr") {}
TXMLTr::TXMLTr(const NodeInit& init) : TXMLTypedList(init, kTrChildren, "td") {}
TXMLCoverpage::TXMLCoverpage(const NodeInit& init) : TXMLTypedList(init, kCoverpageChildren, "image") {}
TXMLSequenceType::TXMLSequenceType(const NodeInit& init)
    : TXMLTypedList(init, kSequenceChildren, "sequence") {}
TXMLOutPutDocumentType::TXMLOutPutDocumentType(const NodeInit& init)
    : TXMLTypedList(init, kOutPutDocumentChildren, "part") {}

QString TXMLPType::PlainText() const {
  QString text;
  AppendText(DomNode(), text);
  return text;
}

namespace {

XMLRef<TXMLFictionBook> BindBook(const XMLRef<TXMLDocument>& document) {
  return NodeAs<TXMLFictionBook>(document->BindRoot<TXMLFictionBook>("FictionBook", kFictionBookNamespace));
}

}  // namespace

XMLRef<TXMLFictionBook> LoadBookDocument(const QString& path) {
  return BindBook(TXMLDocument::LoadFromFile(path));
}

XMLRef<TXMLFictionBook> LoadBookDocumentFromXML(const QByteArray& xml) {
  return BindBook(TXMLDocument::LoadFromXML(xml));
}

TBookInfo ReadBookInfoBound(const QString& path, bool fullGenreNames, const GenreLookup* genres) {
  TBookInfo info;
  const XMLRef<TXMLFictionBook> book = LoadBookDocument(path);
  auto titleInfo = [&book] { return book->Description()->Titleinfo(); };

  info.Title = CheckSymbols(titleInfo()->Booktitle()->Text());
  if (titleInfo()->Author()->Count() > 0) {
    const XMLRef<TXMLAuthorType> author = titleInfo()->Author()->Item(0);
    info.LastName = TrimControl(author->Lastname()->Text());
    info.FirstName = TrimControl(author->Firstname()->Text());
    info.MiddleName = TrimControl(author->Middlename()->Text());
  }
  if (titleInfo()->Genre()->Count() > 0) {
    const QString code = TrimControl(titleInfo()->Genre()->Item(0));
    if (!fullGenreNames) {
      info.Genre = code;
    } else if (genres) {
      info.Genre = genres->GenreFullName(code);
    }
  }
  info.Lang = titleInfo()->Lang();
  if (titleInfo()->Sequence()->Count() > 0) {
    const XMLRef<TXMLSequenceType> sequence = titleInfo()->Sequence()->Item(0);
    info.SeqName = CheckSymbols(TrimControl(sequence->Name()));
    try {
      info.SeqNumber = QString::number(sequence->Number());
    } catch (const ShelvioError&) {
      // A number that does not convert leaves the field empty: the one failure the read absorbs.
      info.SeqNumber.clear();
    }
  }
  return info;
}
