// The Transfers screen driven through the probe: rows and their names, icons and accessories,
// the title line, edit mode, deleting a row, moving rows and "Delete All"; and completion:
// unpacking through the archive services, removing only an upload's temporary source, and the
// Saved Files refresh.
#include "tests/app/queue/QueueTestSupport.h"

#include "tests/support/LabelFit.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/PartialFile.h"

#include "platform/foundation/FileManager.h"

using namespace queuetest;

namespace {
std::string roworders(const std::vector<std::string> &rows) {
  std::string out;
  for (auto &row : rows) {
    // pk|action|filename|start|size|roworder|...
    size_t p = 0;
    for (int i = 0; i < 5; ++i)
      p = row.find('|', p) + 1;
    out += row.substr(p, row.find('|', p) - p) + " ";
  }
  return out;
}
std::string filenames(const BatchListView &queue) {
  std::string out;
  for (auto &item : queue.batchItemList())
    out += item->filename() + " ";
  return out;
}
} // namespace

TEST_F(QueueTest, ScreenShowsRowsTitleAndBadge) {
  makeQueue();
  EXPECT_EQ(probe_->navigationTitle().find("Transfers"), 0u);
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{std::nullopt}));
  EXPECT_EQ(services_->valtry, "");
  EXPECT_EQ(probe_->rightItem()->name, "Edit");
  EXPECT_EQ(probe_->leftItem()->name, "Pause");
  EXPECT_EQ(queue_->contentSizeForViewInPopover().width, 320);
  EXPECT_EQ(queue_->contentSizeForViewInPopover().height, 480);
  queue_->clickedPause(); // nothing starts while the rows are looked at
  queue_->addBatchItemAction(30, "file.zip", "/pub", 2097152, "127.0.0.1", 22, "u", "p", "sftp",
                             "/d", false, false);
  queue_->addBatchItemAction(20, "", "", 1048576, "http://127.0.0.1/x.bin", 80, "", "", "www",
                             "/Downloads/x.bin", false, false);
  queue_->addBatchItemAction(34, "newdir", "/pub", 0, "127.0.0.1", 22, "u", "p", "sftp", "", false,
                             false);
  auto rows = probe_->visibleRows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].label, "file.zip");
  EXPECT_EQ(rows[0].accessory, ui::TableViewCellAccessoryType::None);
  // A web item without a file name shows its address and a disclosure indicator.
  EXPECT_EQ(rows[1].label, "http://127.0.0.1/x.bin");
  EXPECT_EQ(rows[1].accessory, ui::TableViewCellAccessoryType::DisclosureIndicator);
  auto table = queue_->tableView();
  auto cell = table->cellForRowAtIndexPath({0, 2});
  auto icon = std::dynamic_pointer_cast<ui::ImageView>(cell->contentView()->viewWithTag(-4));
  ASSERT_TRUE(icon);
  EXPECT_EQ(icon->imageName(), "dir-mkdir.png");
  auto size = std::dynamic_pointer_cast<ui::Label>(
      table->cellForRowAtIndexPath({0, 0})->contentView()->viewWithTag(-3));
  EXPECT_EQ(size->text(), "2.0 MB");
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{"3"}));
  // Paused: the plain title; the size line counts every item.
  EXPECT_EQ(probe_->navigationTitle(), "Transfers");
  EXPECT_FALSE(queue_->navigationItem().titleView());
  EXPECT_EQ(queue_->titleSize(), "3.0 MB");

  // Running: the two-line title, and progress reaches the row's bar without a reload; the speed
  // shows after a second sample at least a second later.
  queue_->clickedResume();
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  ASSERT_TRUE(queue_->navigationItem().titleView());
  EXPECT_EQ(queue_->titleDetails()->text(), "3.0 MB");
  const int key = queue_->batchItemList()[0]->primaryKey();
  queue_->progressDic(*sftp_, SFTPProgressDic{524288, 0.25f});
  auto bar = std::dynamic_pointer_cast<ui::ProgressView>(
      table->cellForRowAtIndexPath({0, 0})->contentView()->viewWithTag(-5));
  EXPECT_FALSE(bar->isHidden());
  EXPECT_FLOAT_EQ(bar->progress(), 0.25f);
  EXPECT_TRUE(queue_->titleSpeed().empty());
  clock_->advance(seconds(0.5));
  queue_->updateBatchItemPK(key, 0.3f, 600000);
  EXPECT_TRUE(queue_->titleSpeed().empty()); // not a second yet
  clock_->advance(seconds(1.5));
  queue_->updateBatchItemPK(key, 0.75f, 524288 + 2 * 1024 * 100);
  EXPECT_EQ(queue_->titleSpeed(), "100.0 KB/Sec");
  EXPECT_EQ(queue_->titleDetails()->text(), "3.0 MB @ 100.0 KB/Sec");
  // Stopped, the row keeps showing how much of it was done.
  queue_->stopBatchItemPK(key, false);
  EXPECT_FALSE(bar->isHidden());
  EXPECT_FLOAT_EQ(bar->progress(), 0.75f);
  EXPECT_EQ(queue_->batchItemList()[0]->start(), 524288); // the stop kept the saved offset
}

// Paused part way, a row keeps its bar as far as it got (also when listed again), and no line
// under its name says anything of its own; Play runs it on.
TEST_F(QueueTest, ARowPausedPartWayKeepsShowingHowMuchIsDone) {
  ASSERT_NO_FATAL_FAILURE(startOneSftpDownload());
  queue_->progressDic(*sftp_, SFTPProgressDic{1 << 20, 0.4f});
  auto table = queue_->tableView();
  auto part = [&](int tag) {
    return table->cellForRowAtIndexPath({0, 0})->contentView()->viewWithTag(tag);
  };
  ASSERT_FALSE(part(-5)->isHidden());
  ASSERT_TRUE(probe_->tap("Pause")) << probe_->lastError();
  for (const bool reloaded : {false, true}) {
    SCOPED_TRACE(reloaded ? "listed again" : "as paused");
    if (reloaded) table->reloadData();
    auto bar = std::dynamic_pointer_cast<ui::ProgressView>(part(-5));
    ASSERT_TRUE(bar);
    EXPECT_FALSE(bar->isHidden()) << "the bar";
    EXPECT_FLOAT_EQ(bar->progress(), 0.4f);
    EXPECT_TRUE(part(-6)->isHidden()) << "the line under the name";
  }
  // Played again, the next report moves the bar on.
  ASSERT_TRUE(probe_->tap("Play")) << probe_->lastError();
  queue_->updateBatchItemPK(queue_->batchItemList()[0]->primaryKey(), 0.5f, 2 << 20);
  EXPECT_FALSE(part(-5)->isHidden());
  EXPECT_FLOAT_EQ(std::dynamic_pointer_cast<ui::ProgressView>(part(-5))->progress(), 0.5f);
}

// Paused while its session connects, a row no longer says what the session was doing.
TEST_F(QueueTest, ARowPausedWhileConnectingNoLongerSaysSo) {
  ASSERT_NO_FATAL_FAILURE(startOneSftpDownload());
  queue_->connectStatus(*sftp_, "Connecting...");
  auto line = [&] {
    return std::dynamic_pointer_cast<ui::Label>(
        queue_->tableView()->cellForRowAtIndexPath({0, 0})->contentView()->viewWithTag(-6));
  };
  ASSERT_FALSE(line()->isHidden());
  ASSERT_TRUE(probe_->tap("Pause")) << probe_->lastError();
  EXPECT_TRUE(line()->isHidden()) << line()->text();
}

// In edit mode a row's content makes room for the delete control on its left and the reorder
// control on its right: the progress bar and the message line under it end where the content
// ends, never under a control; out of edit mode they reach as far as before.
TEST_F(QueueTest, ARowsBarAndLinesEndWhereItsContentEnds) {
  makeQueue();
  queue_->clickedPause();
  for (const char *name : {"paused.bin", "failed.bin", "waiting.bin"})
    queue_->addBatchItemAction(2, name, "/pub", 4096, "127.0.0.1", 21, "u", "p", "ftp", "/d", false,
                               false);
  auto &items = queue_->batchItemList();
  items[0]->setProgress(0.4f);
  items[1]->setProgress(0.7f);
  items[1]->setErrorMsg("550 No such file");
  queue_->setEditing(false, false); // lists the rows again
  auto table = queue_->tableView();
  struct Part {
    const char *what;
    int row, tag;
    double end; // how far before the content's end it ends
  } parts[] = {{"the bar", 0, -5, 30},
               {"the bar of a failed row", 1, -5, 30},
               {"the message", 1, -6, 30},
               {"the size", 2, -3, 30}};
  for (const bool editing : {false, true}) {
    SCOPED_TRACE(editing ? "in edit mode" : "out of edit mode");
    if (editing != table->isEditing()) {
      ASSERT_TRUE(probe_->tap(editing ? "Edit" : "Done"));
    }
    for (const Part &p : parts) {
      SCOPED_TRACE(p.what);
      auto cell = table->cellForRowAtIndexPath({0, p.row});
      ASSERT_TRUE(cell);
      const ui::Rect content = cell->contentView()->frame();
      auto view = cell->contentView()->viewWithTag(p.tag);
      ASSERT_TRUE(view);
      const ui::Rect f = view->frame();
      EXPECT_GT(f.size.width, 0);
      EXPECT_NEAR(f.origin.x + f.size.width, content.size.width - p.end, 0.5);
      if (editing) {
        EXPECT_GE(content.origin.x, ui::TableViewCell::kEditingControlWidth);
        EXPECT_LE(content.origin.x + content.size.width,
                  cell->frame().size.width - ui::TableViewCell::kEditingControlWidth);
      } else {
        EXPECT_EQ(content.size.width, 320) << "as the row is laid out on the phone";
      }
    }
  }
}

// The Transfers screen turns only when the application allows landscape, and a turn it made is
// passed on to the application, which lays out what it holds around the screen.
TEST_F(QueueTest, ARotationIsPassedOnToTheApplication) {
  struct Shell : AppDelegateServices {
    bool landscape = false;
    std::vector<int> turnedFrom;
    bool allowLandscapeView() const override { return landscape; }
    void didRotateFromInterfaceOrientation(int from) override { turnedFrom.push_back(from); }
  };
  auto shell = std::make_shared<Shell>();
  setAppDelegateServices(shell);
  makeQueue();
  EXPECT_FALSE(probe_->rotate(ui::InterfaceOrientation::LandscapeLeft));
  EXPECT_TRUE(shell->turnedFrom.empty());
  shell->landscape = true;
  ASSERT_TRUE(probe_->rotate(ui::InterfaceOrientation::LandscapeLeft)) << probe_->lastError();
  ASSERT_TRUE(probe_->rotate(ui::InterfaceOrientation::Portrait)) << probe_->lastError();
  EXPECT_EQ(shell->turnedFrom, (std::vector<int>{int(ui::InterfaceOrientation::Portrait),
                                                 int(ui::InterfaceOrientation::LandscapeLeft)}));
  setAppDelegateServices(nullptr);
}

// The title line under "Transfers" carries what is left and how fast it goes, in the navigation
// bar; a long one is set smaller, never below the system font size.
TEST_F(QueueTest, TitleLineShrinksNoFurtherThanTheSystemFontSize) {
  makeQueue();
  auto details = queue_->titleDetails();
  ASSERT_TRUE(details);
  auto view = details->superview(); // the title while the queue runs
  ASSERT_TRUE(view);
  EXPECT_LE(view->frame().size.height, 44) << "inside the navigation bar";
  const auto inside = view->bounds();
  for (auto &label : view->subviews()) {
    const auto f = label->frame();
    EXPECT_TRUE(f.origin.x >= 0 && f.origin.y >= 0 &&
                f.origin.x + f.size.width <= inside.size.width + 0.5 &&
                f.origin.y + f.size.height <= inside.size.height + 0.5)
        << "a line of the title lies outside the title";
  }
  // The line shrinks for a long text, down to the system font size and no further.
  const double smallest = ui::Font::systemFontSize();
  EXPECT_GT(details->font().size, smallest);
  for (const char *text : {"3.0 MB", "3.0 MB  100.0 KB/Sec", "50.0 MB @ 5084.0 KB/Sec",
                           "10240.0 MB @ 307200.0 KB/Sec"}) {
    details->setText(text);
    const auto fit = testsupport::fitOfLabel(*details);
    EXPECT_GE(fit.fontSize, smallest) << text;
    if (fit.fontSize > smallest) {
      EXPECT_TRUE(fit.whole) << text << ": " << fit.width << " points at " << fit.fontSize;
    }
  }
  details->setText("3.0 MB");
  EXPECT_TRUE(testsupport::fitOfLabel(*details).whole);
}

TEST_F(QueueTest, EditDeleteMoveAndDeleteAll) {
  makeQueue();
  queue_->clickedPause();
  for (const char *name : {"one", "two", "three"})
    queue_->addBatchItemAction(2, name, "/pub", 1, "127.0.0.1", 21, "u", "p", "ftp", "/d", false,
                               false);
  ASSERT_TRUE(probe_->tap("Edit"));
  EXPECT_EQ(probe_->rightItem()->name, "Done");
  EXPECT_EQ(probe_->leftItem()->name, "Delete All");
  auto table = queue_->tableView();
  EXPECT_TRUE(table->isEditing());
  auto size = table->cellForRowAtIndexPath({0, 0})->contentView()->viewWithTag(-3);
  EXPECT_TRUE(size->isHidden());

  // The top row of three to the bottom: list, table and stored order agree.
  ASSERT_TRUE(probe_->moveRow({0, 0}, {0, 2}));
  EXPECT_EQ(filenames(*queue_), "two three one ");
  auto rows = probe_->visibleRows();
  EXPECT_EQ(rows[2].label, "one");
  EXPECT_EQ(roworders(this->rows()), "2 0 1 "); // in key order: one, two, three
  queue_.reset();
  settle();
  makeQueue();
  EXPECT_EQ(filenames(*queue_), "two three one ");
  queue_->clickedPause();

  // Deleting a row removes it from the table and the list.
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 1}));
  EXPECT_EQ(filenames(*queue_), "two one ");
  EXPECT_EQ(this->rows().size(), 2u);
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{"2"}));

  // Delete All asks first; Cancel keeps everything.
  ASSERT_TRUE(probe_->tap("Delete All"));
  auto alerts = probe_->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "Confirm Delete All");
  EXPECT_EQ(alerts[0].message, "This will remove all 2 pending items.  Continue?");
  EXPECT_EQ(alerts[0].buttons, (std::vector<std::string>{"Cancel", "Delete All"}));
  ASSERT_TRUE(probe_->answerAlert("Cancel"));
  EXPECT_EQ(queue_->batchItemList().size(), 2u);
  ASSERT_TRUE(probe_->tap("Delete All"));
  ASSERT_TRUE(probe_->answerAlert("Delete All"));
  EXPECT_TRUE(queue_->batchItemList().empty());
  EXPECT_TRUE(this->rows().empty());
  EXPECT_TRUE(probe_->visibleRows().empty());
  EXPECT_EQ(probe_->badges(), (std::vector<std::optional<std::string>>{std::nullopt}));
  // Leaving edit mode always brings the Pause button back.
  ASSERT_TRUE(probe_->tap("Done"));
  EXPECT_EQ(probe_->leftItem()->name, "Pause");
  EXPECT_EQ(probe_->rightItem()->name, "Edit");
}

TEST_F(QueueTest, DeletingTheRunningRowStopsItAndTheQueueMovesOn) {
  makeQueue();
  queue_->addBatchItemAction(30, "a", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
  queue_->addBatchItemAction(30, "b", "/r", 1, "s", 22, "u", "p", "sftp", "", false, true);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 1; }));
  const size_t reinits = sftp_->count("reinit");
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  EXPECT_EQ(queue_->inProgressPK(), -1);
  // The service's transfer is stopped (it is not left to run to its end).
  EXPECT_TRUE(waitFor([&] { return sftp_->count("reinit") > reinits; }));
  sftp_->active = false;
  advance(15);
  ASSERT_TRUE(waitFor([&] { return sftp_->started() == 2; }));
  EXPECT_EQ(filenames(*queue_), "b ");
}

TEST_F(QueueTest, CompletionUnpacksArchivesAndKeepsThem) {
  makeQueue();
  queue_->clickedPause();
  const std::string files = Paths::documents() + "/Files";
  FileManager::createDirectory(files + "/dl", true);
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/pack.ZIP", "zip"));
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/pack.tar.gz", "tgz"));
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/plain.txt", "text"));
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/notqueued.zip", "zip"));
  auto local = std::make_shared<LocalFolderDouble>();
  local->folder = "/elsewhere";
  services_->localFolder = local;

  int zip = queue_->addBatchItemAction(2, "pack.ZIP", "/", 1, "127.0.0.1", 21, "u", "p", "ftp",
                                       "/dl", true, false);
  queue_->doneBatchItemPK(zip);
  EXPECT_EQ(*zipLog_, (std::vector<std::string>{"open:" + files + "/dl/pack.ZIP",
                                                "to:overwrite:exists", "close"}));
  EXPECT_EQ(testsupport::readFile(files + "/dl/pack/pack.ZIP.txt"), "unpacked");
  EXPECT_EQ(*FileManager::contentsOfDirectory(files + "/dl/pack"),
            std::vector<std::string>{"pack.ZIP.txt"})
      << "nothing of the unpack is left beside what it held";
  EXPECT_TRUE(FileManager::fileExists(files + "/dl/pack.ZIP"));
  EXPECT_EQ(local->reloads, 0);

  // Over SFTP "download and unpack" unpacks the same way; the open folder is refreshed.
  local->folder = "/dl";
  int tgz = queue_->addBatchItemAction(30, "pack.tar.gz", "/", 1, "s", 22, "u", "p", "sftp", "/dl",
                                       true, false);
  queue_->doneBatchItemPK(tgz);
  EXPECT_EQ(tar_->paths, std::vector<std::string>{files + "/dl/pack.tar.gz"});
  EXPECT_EQ(testsupport::readFile(files + "/dl/pack.tar/pack.tar.gz.txt"), "unpacked");
  EXPECT_TRUE(FileManager::fileExists(files + "/dl/pack.tar.gz"));
  EXPECT_EQ(local->reloads, 1);

  // Done is reported once the file is in place: a missing file is not waited for.
  int missing = queue_->addBatchItemAction(2, "late.zip", "/", 1, "127.0.0.1", 21, "u", "p", "ftp",
                                           "/dl", true, false);
  queue_->doneBatchItemPK(missing);
  EXPECT_EQ(queue_->batchIndexForPK(missing), -1);
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/late.zip", "zip"));
  advance(6);
  EXPECT_EQ(zipLog_->size(), 3u);

  // An archive whose name without ".zip" is no name would unpack beside its folder: refused.
  for (const char *name : {"...zip", ".zip"}) {
    ASSERT_TRUE(testsupport::writeFile(files + "/dl/" + name, "zip"));
    queue_->doneBatchItemPK(queue_->addBatchItemAction(2, name, "/", 1, "127.0.0.1", 21, "u", "p",
                                                       "ftp", "/dl", true, false));
  }
  EXPECT_EQ(zipLog_->size(), 3u);

  // A download without the clean-up flag is only removed from the queue.
  int plain = queue_->addBatchItemAction(2, "notqueued.zip", "/", 1, "127.0.0.1", 21, "u", "p",
                                         "ftp", "/dl", false, false);
  queue_->doneBatchItemPK(plain);
  EXPECT_EQ(zipLog_->size(), 3u);

  // A finished upload with the clean-up flag removes its source and nothing beside it.
  int up = queue_->addBatchItemAction(3, "plain.txt", "/", 1, "127.0.0.1", 21, "u", "p", "ftp",
                                      "/Files/dl/plain.txt", true, false);
  queue_->doneBatchItemPK(up);
  EXPECT_FALSE(FileManager::fileExists(files + "/dl/plain.txt"));
  EXPECT_TRUE(FileManager::fileExists(files + "/dl/pack.ZIP"));
  EXPECT_TRUE(FileManager::isDirectory(files + "/dl"));
  EXPECT_TRUE(queue_->batchItemList().empty());
  EXPECT_TRUE(rows().empty());
}

// No one can be asked after a download: a file the person changed since the archive was last
// unpacked is kept and they are told so; what is the same or missing comes out.
TEST_F(QueueTest, UnpackingAfterADownloadKeepsChangedFilesAndSaysSo) {
  makeQueue();
  queue_->clickedPause();
  const std::string files = Paths::documents() + "/Files";
  struct Case {
    const char *archive, *before; // the folder's copy of the file, if any
    std::string said;
  } cases[] = {
      {"pack.zip", nullptr, ""},
      {"pack.zip", "unpacked", ""},
      {"pack.zip", "mine",
       "Changed File Kept: 1 file in \"pack\" differs from its copy in \"pack.zip\" and was "
       "kept.\n\nUnZip \"pack.zip\" in Saved Files to replace it."},
      {"pack.tgz", "mine",
       "Changed File Kept: 1 file in \"pack\" differs from its copy in \"pack.tgz\" and was "
       "kept.\n\nUnTar \"pack.tgz\" in Saved Files to replace it."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.archive) + " " + (c.before ? c.before : "-"));
    FileManager::removeItem(files + "/pack");
    ASSERT_TRUE(testsupport::writeFile(files + "/" + c.archive, "archive"));
    const std::string unpacked = files + "/pack/" + c.archive + ".txt";
    if (c.before) {
      FileManager::createDirectory(files + "/pack", true);
      ASSERT_TRUE(testsupport::writeFile(unpacked, c.before));
    }
    queue_->doneBatchItemPK(queue_->addBatchItemAction(2, c.archive, "/", 1, "127.0.0.1", 21, "u",
                                                       "p", "ftp", "", true, false));
    EXPECT_EQ(testsupport::readFile(unpacked), c.before ? c.before : "unpacked");
    auto alerts = probe_->pendingAlerts();
    EXPECT_EQ(alerts.empty() ? "" : alerts[0].title + ": " + alerts[0].message, c.said);
    if (!alerts.empty()) {
      ASSERT_TRUE(probe_->answerAlert("OK"));
    }
    EXPECT_EQ(*FileManager::contentsOfDirectory(files + "/pack"),
              std::vector<std::string>{std::string(c.archive) + ".txt"});
  }
}

TEST_F(QueueTest, DeletingADownloadRowKeepsTheUsersFile) {
  makeQueue();
  queue_->clickedPause();
  const std::string files = Paths::documents() + "/Files";
  FileManager::createDirectory(files + "/dl", true);
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/movie.mp4", "partial"));
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/copy.tmp", "temp"));
  queue_->addBatchItemAction(30, "movie.mp4", "/", 1, "s", 22, "u", "p", "sftp", "/dl", true,
                             false);
  queue_->addBatchItemAction(31, "copy.tmp", "/", 1, "s", 22, "u", "p", "sftp",
                             "/Files/dl/copy.tmp", true, false);
  ASSERT_TRUE(probe_->tap("Edit"));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  ASSERT_TRUE(probe_->deleteRow({0, 0}));
  EXPECT_TRUE(FileManager::fileExists(files + "/dl/movie.mp4"));
  EXPECT_FALSE(FileManager::fileExists(files + "/dl/copy.tmp"));
}

// A deleted download row takes the partial data kept for its resume with it (FTP, SFTP and web
// alike), unless a row that stays would resume from the same partial file (the same file of the
// same server and user); the user's file stays. A paused queue keeps every partial file.
TEST_F(QueueTest, DeletingADownloadRowRemovesItsPartialData) {
  makeQueue();
  queue_->clickedPause();
  const std::string files = Paths::documents() + "/Files", tmp = Paths::tmp();
  FileManager::createDirectory(files + "/dl", true);
  auto ftpPartial = [&](const char *name, const char *folder) {
    return partialFilePath(tmp + "/" + name, ftpDownloadSource("s", 21, "u", folder, name));
  };
  struct Row {
    int action;
    const char *name, *folder, *password, *protocol, *local;
    std::string partial; // where its connection keeps what came so far
    bool keptForAnother; // a row that stays resumes from the same partial file
  } rows[] = {
      {2, "big.iso", "/pub", "p", "ftp", "", ftpPartial("big.iso", "/pub"), false},
      // The same file under another password: one partial file for both rows.
      {2, "b.bin", "/pub", "p", "ftp", "", ftpPartial("b.bin", "/pub"), true},
      {2, "b.bin", "/pub", "other", "ftp", "", ftpPartial("b.bin", "/pub"), false},
      // The same name from another folder is another file: a partial file of its own.
      {2, "b.bin", "/other", "p", "ftp", "", ftpPartial("b.bin", "/other"), false},
      {30, "movie.mp4", "/pub", "p", "sftp", "/dl",
       SFTPWrapper::downloadPartialPath("s", 21, "u", "/pub/movie.mp4", files + "/dl/movie.mp4"),
       false},
      {20, "", "", "", "www", "/Files/dl/page.html",
       partialFilePath(files + "/dl/page.html", webDownloadSource("http://w/p")), false},
  };
  for (const Row &r : rows) {
    queue_->addBatchItemAction(r.action, r.name, r.folder, 100, r.action == 20 ? "http://w/p" : "s",
                               21, "u", r.password, r.protocol, r.local, false, false);
    ASSERT_TRUE(testsupport::writeFile(r.partial, std::string("came so far of ") + r.folder));
  }
  ASSERT_EQ(queue_->batchItemList().size(), std::size(rows));
  ASSERT_TRUE(testsupport::writeFile(files + "/dl/movie.mp4", "the user's own"));
  advance(15);
  for (const Row &r : rows)
    EXPECT_TRUE(FileManager::fileExists(r.partial)) << "paused: " << r.partial;

  ASSERT_TRUE(probe_->tap("Edit"));
  for (const Row &r : rows) {
    SCOPED_TRACE(r.partial);
    ASSERT_TRUE(probe_->deleteRow({0, 0}));
    EXPECT_EQ(FileManager::fileExists(r.partial), r.keptForAnother);
  }
  EXPECT_EQ(testsupport::readFile(files + "/dl/movie.mp4"), "the user's own");

  // "Delete All" takes every partial file, also one that rows shared.
  for (const char *password : {"p", "other"})
    queue_->addBatchItemAction(2, "b.bin", "/pub", 100, "s", 21, "u", password, "ftp", "", false,
                               false);
  ASSERT_TRUE(testsupport::writeFile(ftpPartial("b.bin", "/pub"), "part"));
  ASSERT_TRUE(probe_->tap("Delete All"));
  ASSERT_TRUE(probe_->answerAlert("Delete All"));
  EXPECT_TRUE(queue_->batchItemList().empty());
  EXPECT_FALSE(FileManager::fileExists(ftpPartial("b.bin", "/pub")));
}

// The folder screen on top of the FTP tab, as the queue sees it.
class RemoteFolderDouble : public RemoteFolderScreen {
public:
  RemoteFolderPlace remoteFolderPlace() const override { return place; }
  void listFolderAgain() override { ++listings; }
  RemoteFolderPlace place;
  int listings = 0;
};

// A queued upload into the folder on screen lists it again when it finishes (once for several
// uploads into it); an upload anywhere else (another folder, server, port, user or protocol)
// does not.
TEST_F(QueueTest, AFinishedUploadListsTheFolderOnScreenAgain) {
  makeQueue();
  queue_->clickedPause();
  auto screen = std::make_shared<RemoteFolderDouble>();
  services_->remoteFolder = screen;
  screen->place = RemoteFolderPlace{"ftp.example", 0, "joe", false, "/pub/up"};
  struct Case {
    const char *what, *server;
    int port;
    const char *user, *protocol, *path;
    bool lists;
  } cases[] = {
      {"the folder on screen", "ftp.example", 21, "joe", "ftp", "/pub/up", true},
      {"with a trailing slash, host in capitals", "FTP.example", 21, "joe", "ftps", "/pub/up/",
       true},
      {"the port named in the server text", "ftp.example:21", 0, "joe", "ftp", "/pub/up", true},
      {"another folder", "ftp.example", 21, "joe", "ftp", "/pub", false},
      {"another server", "other.example", 21, "joe", "ftp", "/pub/up", false},
      {"another port", "ftp.example", 2121, "joe", "ftp", "/pub/up", false},
      {"another user", "ftp.example", 21, "ann", "ftp", "/pub/up", false},
      {"over SFTP", "ftp.example", 21, "joe", "sftp", "/pub/up", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    screen->listings = 0;
    const int action = std::string(c.protocol) == "sftp" ? 31 : 3;
    const int key = queue_->addBatchItemAction(action, "up.txt", c.path, 1, c.server, c.port,
                                               c.user, "pw", c.protocol, "", false, false);
    queue_->doneBatchItemPK(key);
    EXPECT_EQ(screen->listings, c.lists ? 1 : 0);
  }
  // Three uploads into it: one listing, after the last.
  screen->listings = 0;
  std::vector<int> keys;
  for (const char *name : {"a", "b", "c"})
    keys.push_back(queue_->addBatchItemAction(10, name, "/pub/up", 1, "ftp.example", 21, "joe",
                                              "pw", "ftp", "", false, false));
  queue_->doneBatchItemPK(keys[0]);
  queue_->doneBatchItemPK(keys[1]);
  EXPECT_EQ(screen->listings, 0);
  queue_->doneBatchItemPK(keys[2]);
  EXPECT_EQ(screen->listings, 1);

  // Over SFTP the service says when it changed a folder, for its own session; the screen's
  // session may name its server as typed ("host:port/folder").
  screen->place = RemoteFolderPlace{"s.example:22/home/joe", 0, "joe", true, "/home/joe"};
  sftp_->setServer("s.example");
  sftp_->setUsername("joe");
  sftp_->lastDir = "/home/joe";
  for (const char *user : {"joe", "ann"}) {
    screen->listings = 0;
    sftp_->setUsername(user);
    queue_->sftpConnectionShouldRefreshDirectory(*sftp_);
    EXPECT_EQ(screen->listings, std::string(user) == "joe" ? 1 : 0) << user;
  }
}
