// The document and image viewer: one local file in a web view (documents the web view renders,
// pictures, HTML and plain text), paging through the other files of its folder or of a photo
// album, copying a picture into the photo library, deleting temporary files when it closes, and
// recording a downloaded file under "ViewingFile" so that the next start can offer it again.
// Pages of documents it shows run no scripts of their own, and a tapped link leaves for the
// system only as an http, https or mailto address. Main thread.
#pragma once

#include "app/editor/EditorScreens.h"
#include "app/foundation/WorkingCopy.h"
#include "app/web/ShellFileScreen.h"

#include "platform/ui/Presentation.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/WebView.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class WebDocumentViewController : public platform::ui::ViewController,
                                  public platform::ui::WebViewDelegate,
                                  public ShellFileScreen {
public:
  // Interface "WebDocumentView"; the display name and the file's full path.
  static std::shared_ptr<WebDocumentViewController> initWithNibName(const std::string &nibName,
                                                                    const std::string &fileName,
                                                                    const std::string &filePath);
  explicit WebDocumentViewController(const std::string &nibName);
  ~WebDocumentViewController() override;

  // Paging by a source: for the element of `dataIndexArray` at the new index, the path of the
  // file to show (the photo-library browser answers with a file holding the asset of that row).
  void setNextDataSource(std::function<std::string(const std::string &element)> source);

  // Actions.
  void clickOK();
  void clickSave();
  void clickPrevious();
  void clickNext();
  void movedSlider();
  void changeImage();
  void setupMyTitles();

  // For the shell.
  bool usesMyScroller() const;
  void scrollToPercent(int percent);
  void resized(platform::ui::Rect frame) override;
  void showNavigationController();
  void setupTitlebar() override;
  void layoutSubviews();

  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  void didReceiveMemoryWarning() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;
  void didRotateFromInterfaceOrientation(platform::ui::InterfaceOrientation from) override;

  // WebViewDelegate.
  bool shouldStartLoadWithRequest(platform::ui::WebView &, const platform::ui::WebRequest &r,
                                  platform::ui::WebViewNavigationType type) override;
  void webViewDidStartLoad(platform::ui::WebView &) override;
  void webViewDidFinishLoad(platform::ui::WebView &) override;
  void didFailLoadWithError(platform::ui::WebView &, const std::string &) override;

  // A file of the cloud container is read coordinated, with the viewer as its presenter: a change
  // made elsewhere shows at once.
  void presentedItemDidChange();

  std::string docName, docLocalFile;
  bool editingSavedFile = false, hideSaveButton = false, cleanupWhenDone = false;
  std::vector<std::string> localFileArray;
  int localFileArrayIndex = 0;
  std::vector<std::string> dataIndexArray;

  std::shared_ptr<platform::ui::WebView> webView;
  std::shared_ptr<platform::ui::Label> fileNameLabel, captionLabel;
  std::shared_ptr<platform::ui::Button> previousButton, nextButton;
  std::shared_ptr<platform::ui::BarButtonItem> previousItem, nextItem, titleItem, captionItem,
      saveItem, sliderItem, spinnerItem;
  std::shared_ptr<platform::ui::Slider> slider;
  std::shared_ptr<platform::ui::ActivityIndicatorView> spinner;
  std::shared_ptr<platform::ui::Toolbar> toolbar;

  // The kinds of file, by extension.
  static bool isImageFile(const std::string &name);
  static bool isSaveableImageFile(const std::string &name);
  static bool isPDFFile(const std::string &name);

private:
  void loadDocument();
  void showDocument(const std::string &path);
  void presentFile(bool on);
  void showTips();
  void loadingStarted();
  void loadingEnded(bool failed);
  std::function<std::string(const std::string &)> source_;
  std::shared_ptr<class ViewerPresenter> presenter_;
  // The file shown is in use while the viewer shows it.
  FileInUse shownInUse_;
  StatusBarHiding statusBar_;
};
