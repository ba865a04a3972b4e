// Process-wide state that every screen shares, filled once by InitGlobals at launch (main thread,
// before any screen exists) and read everywhere afterwards.
#pragma once

#include "app/foundation/ResourceImage.h"
#include "app/foundation/SettingsKeys.h"

#include "platform/foundation/DateFormatter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Geometry.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The temporary files to remove later. Screens add to it on the main thread and on workers (a
// picture converted on a dispatch queue) while the clean-up may be walking it, so every use goes
// through its lock.
class TempFileList {
public:
  void push_back(std::string path);
  // The paths in the order they came; the list is empty afterwards.
  std::vector<std::string> take();
  bool empty() const;
  void clear();
  // Drops one path (the first that equals it).
  void remove(const std::string &path);

private:
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
};

extern platform::UserDefaults *globalUserDefaults; // the standard settings store
extern std::string globalTempPath;                 // Documents/"Downloads"
extern TempFileList tempFilesToCleanup;            // temporary files to remove later
// Temporary files a worker is writing now: removed at the program's end if the worker has not
// finished them by then (a copy cut short is never left behind).
extern TempFileList tempFilesBeingWritten;
extern platform::ui::Font myTextInputFont; // system font, standard size + 3
extern bool iPAD;
extern int osMajorVersion; // 2, or 3 on a system whose version starts with "3."
// The folder the Saved Files tab showed last, relative to Saved Files ("../name" for a folder of
// the shared folder, which lies beside Saved Files in Documents).
extern std::string currentLocalFolder;
// The same folder as its path below Documents ("Files/..." for Saved Files; a folder of the
// shared folder is not in Saved Files); empty at start and for the shared folder itself.
extern std::string currentLocalFolderInDocuments;
extern int showFolderExtra, showFolderIcon;

extern std::unique_ptr<platform::DateFormatter> dateOutputFormat;         // medium date, short time
extern std::unique_ptr<platform::DateFormatter> dateFormatDateOnly;       // "yyyy-MM-dd"
extern std::unique_ptr<platform::DateFormatter> dateFormatDateOnlyNicely; // "MMM. dd, yyyy"
extern std::unique_ptr<platform::DateFormatter> dateFormatHTTP;           // HTTP dates, GMT
extern std::unique_ptr<platform::DateFormatter> dateFormatHTTPLog;        // web log lines, GMT

// File-type icons (null when the resource is missing).
extern ResourceImageRef imageUpFolder, imageISO, imageWindows, imageOther, imageBlank, imageBlank24,
    imageSelectedRow, imageSound, imageVideo, imageImage, imageText, imageTextHtml, imageTextAsp,
    imageTextJs, imageTextCss, imageTextPhp, imageZip, imageDocument, imageDocumentXls,
    imageDocumentPpt, imageFolder, imageFolderCloud, imageFolderPhotos, imageFolderiTunes;

// The current version of the web-sharing templates copied into Documents/"WebServer".
inline constexpr int kTemplateVersion = 1;

// Fills the globals, creates Documents/"Downloads" and Documents/"Files" and prepares the
// web-sharing folder.
void InitGlobals();
// Prepares Documents/"WebServer": icons (written once, into a fresh folder), templates (each copied
// when missing) and the help documents of Saved Files. Called by InitGlobals.
void CopyWebServerFiles();
