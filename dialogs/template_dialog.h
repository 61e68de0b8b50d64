#pragma once

#include <QDialog>
#include <QList>
#include <QString>

class QAction;
class QHBoxLayout;
class QLineEdit;
class QPushButton;

// What the two template editors share: an edit field with a clear button inside its right end, a
// row of word buttons below it in a gradient panel, and the strip with "OK" and "Отмена".
class TemplateDialog : public QDialog {
  Q_OBJECT

 public:
  // The template to edit; the caret starts at its beginning.
  void SetTemplate(const QString& text);
  // The edited template.
  QString Template() const;

  QPushButton* btnOK = nullptr;
  QPushButton* btnCancel = nullptr;

 protected:
  TemplateDialog(const QString& caption, int width, int height, QWidget* parent);
  // Adds the word button of tag to the row; clicked() calls WordClicked(tag).
  QPushButton* AddWordButton(const QString& caption, int tag);
  virtual void WordClicked(int tag) = 0;
  // How the template is read, shown when the pointer rests on the field and by "What's this".
  void SetHelp(const QString& help);

  QLineEdit* edit_ = nullptr;
  QAction* clear_ = nullptr;

 private:
  QHBoxLayout* wordRow_ = nullptr;
};
