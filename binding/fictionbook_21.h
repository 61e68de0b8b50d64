#pragma once

// Typed access to a FictionBook 2.1 document. Each class reads like its element type: its
// accessors in order (readers, then writers), its list fields; the classes its children get are
// registered in fictionbook_21.cpp. Reads go to the DOM and may create missing children there.

#include "binding/xml_node.h"
#include "fictionbook/book_info.h"

inline constexpr const char* kFictionBookNamespace = "http://www.gribuser.ru/xml/fictionbook/2.0";

class TXMLFictionBook;
class TXMLStylesheet;
class TXMLDescription;
class TXMLTitleinfoType;
class TXMLAuthorType;
class TXMLTextFieldType;
class TXMLAnnotationType;
class TXMLStyleType;
class TXMLPoemType;
class TXMLTitleType;
class TXMLEpigraphType;
class TXMLCiteType;
class TXMLStanza;
class TXMLDateType;
class TXMLImageType;
class TXMLDocumentinfo;
class TXMLPublishinfo;
class TXMLCustominfo;
class TXMLShareInstructionType;
class TXMLPartShareInstructionType;
class TXMLBody;
class TXMLSectionType;
class TXMLBinary;
class TXMLPType;
class TXMLNamedStyleType;
class TXMLLinkType;
class TXMLStyleLinkType;
class TXMLTableType;
class TXMLTr;
class TXMLCoverpage;
class TXMLSequenceType;
class TXMLOutPutDocumentType;

// Lists that present a node's children of one tag (the tag is given where the list is created).
class TXMLStylesheetList : public TXMLTypedList<TXMLStylesheet> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLAuthorTypeList : public TXMLTypedList<TXMLAuthorType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLEpigraphTypeList : public TXMLTypedList<TXMLEpigraphType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLStanzaList : public TXMLTypedList<TXMLStanza> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLSequenceTypeList : public TXMLTypedList<TXMLSequenceType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLCustominfoList : public TXMLTypedList<TXMLCustominfo> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLShareInstructionTypeList : public TXMLTypedList<TXMLShareInstructionType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLPartShareInstructionTypeList : public TXMLTypedList<TXMLPartShareInstructionType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLOutPutDocumentTypeList : public TXMLTypedList<TXMLOutPutDocumentType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLBodyList : public TXMLTypedList<TXMLBody> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLSectionTypeList : public TXMLTypedList<TXMLSectionType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLBinaryList : public TXMLTypedList<TXMLBinary> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLPTypeList : public TXMLTypedList<TXMLPType> {
  using TXMLTypedList::TXMLTypedList;
};
class TXMLGenreTypeList : public TXMLTextList {
  using TXMLTextList::TXMLTextList;
};
class TXMLString_List : public TXMLTextList {
  using TXMLTextList::TXMLTextList;
};

// The XLink reference (href, type) that images, parts and links carry.
class TXMLXLinkNode : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
  QString Href() const { return XLinkText("href"); }
  QString XlinkType() const { return XLinkText("type"); }
  void SetHref(const QString& value) { SetXLinkText("href", value); }
  void SetXlinkType(const QString& value) { SetXLinkText("type", value); }
};

// FictionBook (the root)
class TXMLFictionBook : public TXMLNode {
 public:
  explicit TXMLFictionBook(const NodeInit& init);
  XMLRef<TXMLBinaryList> Binary() { return Share(binary_); }
  XMLRef<TXMLBodyList> Body() { return Share(body_); }
  XMLRef<TXMLDescription> Description() { return ChildAs<TXMLDescription>("description"); }
  XMLRef<TXMLStylesheetList> Stylesheet() { return Share(stylesheet_); }

 private:
  TXMLBinaryList* binary_ = CreateList<TXMLBinaryList>("binary");
  TXMLBodyList* body_ = CreateList<TXMLBodyList>("body");
  TXMLStylesheetList* stylesheet_ = CreateList<TXMLStylesheetList>("stylesheet");
};

// stylesheet
class TXMLStylesheet : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
  QString Type() { return AttributeText("type"); }
  void SetType(const QString& value) { SetAttributeText("type", value); }
};

// description
class TXMLDescription : public TXMLNode {
 public:
  explicit TXMLDescription(const NodeInit& init);
  XMLRef<TXMLCustominfoList> Custominfo() { return Share(customInfo_); }
  XMLRef<TXMLDocumentinfo> Documentinfo() { return ChildAs<TXMLDocumentinfo>("document-info"); }
  XMLRef<TXMLShareInstructionTypeList> Output() { return Share(output_); }
  XMLRef<TXMLPublishinfo> Publishinfo() { return ChildAs<TXMLPublishinfo>("publish-info"); }
  XMLRef<TXMLTitleinfoType> Srctitleinfo() { return ChildAs<TXMLTitleinfoType>("src-title-info"); }
  XMLRef<TXMLTitleinfoType> Titleinfo() { return ChildAs<TXMLTitleinfoType>("title-info"); }

 private:
  TXMLCustominfoList* customInfo_ = CreateList<TXMLCustominfoList>("custom-info");
  TXMLShareInstructionTypeList* output_ = CreateList<TXMLShareInstructionTypeList>("output");
};

// title-info, src-title-info
class TXMLTitleinfoType : public TXMLNode {
 public:
  explicit TXMLTitleinfoType(const NodeInit& init);
  XMLRef<TXMLAnnotationType> Annotation() { return ChildAs<TXMLAnnotationType>("annotation"); }
  XMLRef<TXMLAuthorTypeList> Author() { return Share(author_); }
  XMLRef<TXMLTextFieldType> Booktitle() { return ChildAs<TXMLTextFieldType>("book-title"); }
  XMLRef<TXMLCoverpage> Coverpage() { return ChildAs<TXMLCoverpage>("coverpage"); }
  XMLRef<TXMLDateType> Date() { return ChildAs<TXMLDateType>("date"); }
  XMLRef<TXMLGenreTypeList> Genre() { return Share(genre_); }
  XMLRef<TXMLTextFieldType> Keywords() { return ChildAs<TXMLTextFieldType>("keywords"); }
  QString Lang() { return ChildText("lang"); }
  XMLRef<TXMLSequenceTypeList> Sequence() { return Share(sequence_); }
  QString Srclang() { return ChildText("src-lang"); }
  XMLRef<TXMLAuthorTypeList> Translator() { return Share(translator_); }
  void SetLang(const QString& value) { SetChildText("lang", value); }
  void SetSrclang(const QString& value) { SetChildText("src-lang", value); }

 private:
  TXMLAuthorTypeList* author_ = CreateList<TXMLAuthorTypeList>("author");
  TXMLGenreTypeList* genre_ = CreateList<TXMLGenreTypeList>("genre");
  TXMLSequenceTypeList* sequence_ = CreateList<TXMLSequenceTypeList>("sequence");
  TXMLAuthorTypeList* translator_ = CreateList<TXMLAuthorTypeList>("translator");
};

// author, translator
class TXMLAuthorType : public TXMLNode {
 public:
  explicit TXMLAuthorType(const NodeInit& init);
  XMLRef<TXMLString_List> Email() { return Share(email_); }
  XMLRef<TXMLTextFieldType> Firstname() { return ChildAs<TXMLTextFieldType>("first-name"); }
  XMLRef<TXMLString_List> Homepage() { return Share(homePage_); }
  XMLRef<TXMLTextFieldType> Lastname() { return ChildAs<TXMLTextFieldType>("last-name"); }
  XMLRef<TXMLTextFieldType> Middlename() { return ChildAs<TXMLTextFieldType>("middle-name"); }
  XMLRef<TXMLTextFieldType> Nickname() { return ChildAs<TXMLTextFieldType>("nickname"); }

 private:
  TXMLString_List* email_ = CreateList<TXMLString_List>("email");
  TXMLString_List* homePage_ = CreateList<TXMLString_List>("home-page");
};

// book-title, keywords, the name parts of an author, and the plain text fields of the
// document and publishing information. Its own content is read with Text().
class TXMLTextFieldType : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
  QString Lang() { return AttributeText("xml:lang"); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }
};

// annotation, history
class TXMLAnnotationType : public TXMLNode {
 public:
  explicit TXMLAnnotationType(const NodeInit& init);
  XMLRef<TXMLCiteType> Cite() { return ChildAs<TXMLCiteType>("cite"); }
  QString Emptyline() { return ChildText("empty-line"); }
  QString Id() { return AttributeText("id"); }
  XMLRef<TXMLPTypeList> P() { return Share(p_); }
  XMLRef<TXMLPoemType> Poem() { return ChildAs<TXMLPoemType>("poem"); }
  XMLRef<TXMLPType> Subtitle() { return ChildAs<TXMLPType>("subtitle"); }
  XMLRef<TXMLTableType> Table() { return ChildAs<TXMLTableType>("table"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetId(const QString& value) { SetAttributeText("id", value); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }

 private:
  TXMLPTypeList* p_ = CreateList<TXMLPTypeList>("p");
};

// The styled runs that styled text and named styles hold, each typed as its class says.
template <class TEmphasis, class TStrong, class TStyle>
class TXMLStyledRuns : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
  XMLRef<TXMLLinkType> A() { return ChildAs<TXMLLinkType>("a"); }
  XMLRef<TXMLStyleType> Code() { return ChildAs<TXMLStyleType>("code"); }
  XMLRef<TEmphasis> Emphasis() { return ChildAs<TEmphasis>("emphasis"); }
  XMLRef<TXMLImageType> Image() { return ChildAs<TXMLImageType>("image"); }
  XMLRef<TXMLStyleType> Strikethrough() { return ChildAs<TXMLStyleType>("strikethrough"); }
  XMLRef<TStrong> Strong() { return ChildAs<TStrong>("strong"); }
  XMLRef<TStyle> Style() { return ChildAs<TStyle>("style"); }
  XMLRef<TXMLStyleType> Sub() { return ChildAs<TXMLStyleType>("sub"); }
  XMLRef<TXMLStyleType> Sup() { return ChildAs<TXMLStyleType>("sup"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }
};

// strong, emphasis, strikethrough, sub, sup, code (outside a link)
class TXMLStyleType : public TXMLStyledRuns<TXMLStyleType, TXMLStyleType, TXMLNamedStyleType> {
 public:
  explicit TXMLStyleType(const NodeInit& init);
};

// poem
class TXMLPoemType : public TXMLNode {
 public:
  explicit TXMLPoemType(const NodeInit& init);
  XMLRef<TXMLDateType> Date() { return ChildAs<TXMLDateType>("date"); }
  XMLRef<TXMLEpigraphTypeList> Epigraph() { return Share(epigraph_); }
  QString Id() { return AttributeText("id"); }
  XMLRef<TXMLStanzaList> Stanza() { return Share(stanza_); }
  XMLRef<TXMLPTypeList> Textauthor() { return Share(textAuthor_); }
  XMLRef<TXMLTitleType> Title() { return ChildAs<TXMLTitleType>("title"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetId(const QString& value) { SetAttributeText("id", value); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }

 private:
  TXMLEpigraphTypeList* epigraph_ = CreateList<TXMLEpigraphTypeList>("epigraph");
  TXMLStanzaList* stanza_ = CreateList<TXMLStanzaList>("stanza");
  TXMLPTypeList* textAuthor_ = CreateList<TXMLPTypeList>("text-author");
};

// title
class TXMLTitleType : public TXMLNode {
 public:
  explicit TXMLTitleType(const NodeInit& init);
  QString Emptyline() { return ChildText("empty-line"); }
  XMLRef<TXMLPType> P() { return ChildAs<TXMLPType>("p"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }
};

// epigraph
class TXMLEpigraphType : public TXMLNode {
 public:
  explicit TXMLEpigraphType(const NodeInit& init);
  XMLRef<TXMLCiteType> Cite() { return ChildAs<TXMLCiteType>("cite"); }
  QString Emptyline() { return ChildText("empty-line"); }
  QString Id() { return AttributeText("id"); }
  XMLRef<TXMLPType> P() { return ChildAs<TXMLPType>("p"); }
  XMLRef<TXMLPoemType> Poem() { return ChildAs<TXMLPoemType>("poem"); }
  XMLRef<TXMLPTypeList> Textauthor() { return Share(textAuthor_); }
  void SetId(const QString& value) { SetAttributeText("id", value); }

 private:
  TXMLPTypeList* textAuthor_ = CreateList<TXMLPTypeList>("text-author");
};

// cite
class TXMLCiteType : public TXMLNode {
 public:
  explicit TXMLCiteType(const NodeInit& init);
  QString Emptyline() { return ChildText("empty-line"); }
  QString Id() { return AttributeText("id"); }
  XMLRef<TXMLPType> P() { return ChildAs<TXMLPType>("p"); }
  XMLRef<TXMLPoemType> Poem() { return ChildAs<TXMLPoemType>("poem"); }
  XMLRef<TXMLPType> Subtitle() { return ChildAs<TXMLPType>("subtitle"); }
  XMLRef<TXMLTableType> Table() { return ChildAs<TXMLTableType>("table"); }
  XMLRef<TXMLPTypeList> Textauthor() { return Share(textAuthor_); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetId(const QString& value) { SetAttributeText("id", value); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }

 private:
  TXMLPTypeList* textAuthor_ = CreateList<TXMLPTypeList>("text-author");
};

// stanza
class TXMLStanza : public TXMLNode {
 public:
  explicit TXMLStanza(const NodeInit& init);
  XMLRef<TXMLPType> Subtitle() { return ChildAs<TXMLPType>("subtitle"); }
  XMLRef<TXMLTitleType> Title() { return ChildAs<TXMLTitleType>("title"); }
  XMLRef<TXMLPTypeList> V() { return Share(v_); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }

 private:
  TXMLPTypeList* v_ = CreateList<TXMLPTypeList>("v");
};

// date
class TXMLDateType : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
  QString Value() { return AttributeText("value"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetValue(const QString& value) { SetAttributeText("value", value); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }
};

// image
class TXMLImageType : public TXMLXLinkNode {
 public:
  using TXMLXLinkNode::TXMLXLinkNode;
  QString Alt() { return AttributeText("alt"); }
  void SetAlt(const QString& value) { SetAttributeText("alt", value); }
};

// document-info
class TXMLDocumentinfo : public TXMLNode {
 public:
  explicit TXMLDocumentinfo(const NodeInit& init);
  XMLRef<TXMLAuthorTypeList> Author() { return Share(author_); }
  XMLRef<TXMLDateType> Date() { return ChildAs<TXMLDateType>("date"); }
  XMLRef<TXMLAnnotationType> History() { return ChildAs<TXMLAnnotationType>("history"); }
  QString Id() { return ChildText("id"); }
  XMLRef<TXMLTextFieldType> Programused() { return ChildAs<TXMLTextFieldType>("program-used"); }
  XMLRef<TXMLTextFieldType> Srcocr() { return ChildAs<TXMLTextFieldType>("src-ocr"); }
  XMLRef<TXMLString_List> Srcurl() { return Share(srcUrl_); }
  QString Version() { return ChildText("version"); }
  void SetId(const QString& value) { SetChildText("id", value); }
  void SetVersion(const QString& value) { SetChildText("version", value); }

 private:
  TXMLAuthorTypeList* author_ = CreateList<TXMLAuthorTypeList>("author");
  TXMLString_List* srcUrl_ = CreateList<TXMLString_List>("src-url");
};

// publish-info
class TXMLPublishinfo : public TXMLNode {
 public:
  explicit TXMLPublishinfo(const NodeInit& init);
  XMLRef<TXMLTextFieldType> Bookname() { return ChildAs<TXMLTextFieldType>("book-name"); }
  XMLRef<TXMLTextFieldType> City() { return ChildAs<TXMLTextFieldType>("city"); }
  XMLRef<TXMLTextFieldType> Isbn() { return ChildAs<TXMLTextFieldType>("isbn"); }
  XMLRef<TXMLTextFieldType> Publisher() { return ChildAs<TXMLTextFieldType>("publisher"); }
  XMLRef<TXMLSequenceTypeList> Sequence() { return Share(sequence_); }
  QString Year() { return ChildText("year"); }
  void SetYear(const QString& value) { SetChildText("year", value); }

 private:
  TXMLSequenceTypeList* sequence_ = CreateList<TXMLSequenceTypeList>("sequence");
};

// custom-info; its own content is read with Text().
class TXMLCustominfo : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
  QString Infotype() { return AttributeText("info-type"); }
  void SetInfotype(const QString& value) { SetAttributeText("info-type", value); }
};

// output
class TXMLShareInstructionType : public TXMLNode {
 public:
  explicit TXMLShareInstructionType(const NodeInit& init);
  QString Currency() { return AttributeText("currency"); }
  QString Includeall() { return AttributeText("include-all"); }
  QString Mode() { return AttributeText("mode"); }
  XMLRef<TXMLOutPutDocumentTypeList> Outputdocumentclass() { return Share(outputDocumentClass_); }
  XMLRef<TXMLPartShareInstructionTypeList> Part() { return Share(part_); }
  float Price() { return AttributeFloat("price"); }
  void SetCurrency(const QString& value) { SetAttributeText("currency", value); }
  void SetIncludeall(const QString& value) { SetAttributeText("include-all", value); }
  void SetMode(const QString& value) { SetAttributeText("mode", value); }
  void SetPrice(float value) { SetAttribute("price", value); }

 private:
  TXMLOutPutDocumentTypeList* outputDocumentClass_ =
      CreateList<TXMLOutPutDocumentTypeList>("output-document-class");
  TXMLPartShareInstructionTypeList* part_ = CreateList<TXMLPartShareInstructionTypeList>("part");
};

// part
class TXMLPartShareInstructionType : public TXMLXLinkNode {
 public:
  using TXMLXLinkNode::TXMLXLinkNode;
  QString Include() { return AttributeText("include"); }
  void SetInclude(const QString& value) { SetAttributeText("include", value); }
};

// body
class TXMLBody : public TXMLNode {
 public:
  explicit TXMLBody(const NodeInit& init);
  XMLRef<TXMLEpigraphTypeList> Epigraph() { return Share(epigraph_); }
  XMLRef<TXMLImageType> Image() { return ChildAs<TXMLImageType>("image"); }
  QString Name() { return AttributeText("name"); }
  XMLRef<TXMLSectionTypeList> Section() { return Share(section_); }
  XMLRef<TXMLTitleType> Title() { return ChildAs<TXMLTitleType>("title"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetName(const QString& value) { SetAttributeText("name", value); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }

 private:
  TXMLEpigraphTypeList* epigraph_ = CreateList<TXMLEpigraphTypeList>("epigraph");
  TXMLSectionTypeList* section_ = CreateList<TXMLSectionTypeList>("section");
};

// section
class TXMLSectionType : public TXMLNode {
 public:
  explicit TXMLSectionType(const NodeInit& init);
  XMLRef<TXMLAnnotationType> Annotation() { return ChildAs<TXMLAnnotationType>("annotation"); }
  XMLRef<TXMLCiteType> Cite() { return ChildAs<TXMLCiteType>("cite"); }
  QString Emptyline() { return ChildText("empty-line"); }
  XMLRef<TXMLEpigraphTypeList> Epigraph() { return Share(epigraph_); }
  QString Id() { return AttributeText("id"); }
  XMLRef<TXMLImageType> Image() { return ChildAs<TXMLImageType>("image"); }
  XMLRef<TXMLPType> P() { return ChildAs<TXMLPType>("p"); }
  XMLRef<TXMLPoemType> Poem() { return ChildAs<TXMLPoemType>("poem"); }
  XMLRef<TXMLSectionTypeList> Section() { return Share(section_); }
  XMLRef<TXMLPType> Subtitle() { return ChildAs<TXMLPType>("subtitle"); }
  XMLRef<TXMLTableType> Table() { return ChildAs<TXMLTableType>("table"); }
  XMLRef<TXMLTitleType> Title() { return ChildAs<TXMLTitleType>("title"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetEmptyline(const QString& value) { SetChildText("empty-line", value); }
  void SetId(const QString& value) { SetAttributeText("id", value); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }

 private:
  TXMLEpigraphTypeList* epigraph_ = CreateList<TXMLEpigraphTypeList>("epigraph");
  TXMLSectionTypeList* section_ = CreateList<TXMLSectionTypeList>("section");
};

// binary; its own content (the encoded data) is read with Text().
class TXMLBinary : public TXMLNode {
 public:
  using TXMLNode::TXMLNode;
  QString Contenttype() { return AttributeText("content-type"); }
  QString Id() { return AttributeText("id"); }
  void SetContenttype(const QString& value) { SetAttributeText("content-type", value); }
  void SetId(const QString& value) { SetAttributeText("id", value); }
};

// p, subtitle, text-author, v, td: a styled run with an id, a style and a plain text.
class TXMLPType : public TXMLStyleType {
 public:
  using TXMLStyleType::TXMLStyleType;
  QString Id() { return AttributeText("id"); }
  // Every text and CDATA inside the paragraph, joined in document order with nothing added.
  QString PlainText() const;
  QString Style() { return AttributeText("style"); }
  void SetId(const QString& value) { SetAttributeText("id", value); }
  void SetStyle(const QString& value) { SetAttributeText("style", value); }
};

// style (outside a link)
class TXMLNamedStyleType : public TXMLStyledRuns<TXMLStyleType, TXMLStyleType, TXMLNamedStyleType> {
 public:
  explicit TXMLNamedStyleType(const NodeInit& init);
  QString Name() { return AttributeText("name"); }
  void SetName(const QString& value) { SetAttributeText("name", value); }
};

// a
class TXMLLinkType : public TXMLXLinkNode {
 public:
  explicit TXMLLinkType(const NodeInit& init);
  QString Type() { return AttributeText("type"); }
  XMLRef<TXMLStyleType> Code() { return ChildAs<TXMLStyleType>("code"); }
  XMLRef<TXMLStyleLinkType> Emphasis() { return ChildAs<TXMLStyleLinkType>("emphasis"); }
  XMLRef<TXMLImageType> Image() { return ChildAs<TXMLImageType>("image"); }
  XMLRef<TXMLStyleType> Strikethrough() { return ChildAs<TXMLStyleType>("strikethrough"); }
  XMLRef<TXMLStyleLinkType> Strong() { return ChildAs<TXMLStyleLinkType>("strong"); }
  XMLRef<TXMLStyleLinkType> Style() { return ChildAs<TXMLStyleLinkType>("style"); }
  XMLRef<TXMLStyleType> Sub() { return ChildAs<TXMLStyleType>("sub"); }
  XMLRef<TXMLStyleType> Sup() { return ChildAs<TXMLStyleType>("sup"); }
  void SetType(const QString& value) { SetAttributeText("type", value); }
};

// strong, emphasis, style inside a link
class TXMLStyleLinkType : public TXMLNode {
 public:
  explicit TXMLStyleLinkType(const NodeInit& init);
  XMLRef<TXMLStyleLinkType> Emphasis() { return ChildAs<TXMLStyleLinkType>("emphasis"); }
  XMLRef<TXMLStyleLinkType> Strong() { return ChildAs<TXMLStyleLinkType>("strong"); }
  XMLRef<TXMLStyleLinkType> Style() { return ChildAs<TXMLStyleLinkType>("style"); }
};

// table: a list of its rows
class TXMLTableType : public TXMLTypedList<TXMLTr> {
 public:
  explicit TXMLTableType(const NodeInit& init);
};

// tr: a list of its cells
class TXMLTr : public TXMLTypedList<TXMLPType> {
 public:
  explicit TXMLTr(const NodeInit& init);
  QString Align() { return AttributeText("align"); }
  void SetAlign(const QString& value) { SetAttributeText("align", value); }
};

// coverpage: a list of its images
class TXMLCoverpage : public TXMLTypedList<TXMLImageType> {
 public:
  explicit TXMLCoverpage(const NodeInit& init);
};

// sequence: a list of the sequences nested in it
class TXMLSequenceType : public TXMLTypedList<TXMLSequenceType> {
 public:
  explicit TXMLSequenceType(const NodeInit& init);
  QString Name() { return AttributeText("name"); }
  // Throws "Could not convert variant of type (%s) into type (%s)" when absent, empty or no integer.
  int Number() { return AttributeInt("number"); }
  QString Lang() { return AttributeText("xml:lang"); }
  void SetName(const QString& value) { SetAttributeText("name", value); }
  void SetNumber(int value) { SetAttribute("number", value); }
  void SetLang(const QString& value) { SetAttributeText("xml:lang", value); }
};

// output-document-class: a list of its parts
class TXMLOutPutDocumentType : public TXMLTypedList<TXMLPartShareInstructionType> {
 public:
  explicit TXMLOutPutDocumentType(const NodeInit& init);
  QString Create() { return AttributeText("create"); }
  QString Name() { return AttributeText("name"); }
  // Throws "Could not convert variant of type (%s) into type (%s)" when absent, empty or no number.
  float Price() { return AttributeFloat("price"); }
  void SetCreate(const QString& value) { SetAttributeText("create", value); }
  void SetName(const QString& value) { SetAttributeText("name", value); }
  void SetPrice(float value) { SetAttribute("price", value); }
};

// Parses the book at path (read completely and closed) and binds its root as FictionBook in the
// FictionBook 2.0 namespace; the document lives while the result is held. Throws ShelvioError (Metadata):
// the parser's reason, or "Interface not supported" for any other root element.
XMLRef<TXMLFictionBook> LoadBookDocument(const QString& path);
// The same, from a text in memory.
XMLRef<TXMLFictionBook> LoadBookDocumentFromXML(const QByteArray& xml);

// ReadBookInfo's record read through the binding, by the same rules.
TBookInfo ReadBookInfoBound(const QString& path, bool fullGenreNames, const GenreLookup* genres);
