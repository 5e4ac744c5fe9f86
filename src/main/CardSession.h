// What the window and the command-line download share, without Qt: the binding
// and the window's context, the command exchange, the card download file and
// the download sequence. TMainForm derives from it and supplies the hooks.
#pragma once

#include "main/CardDownloadFile.h"
#include "smartcard/PCSCRaw.h"
#include "smartcard/Reader.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

// Size of the command and response buffers of one exchange.
constexpr std::size_t kExchangeBufferSize = 261;

// Bytes of a command written as hexadecimal text; see CardExchange.cpp.
// Writes at most `capacity` bytes and returns how many it wrote.
std::size_t HexToBytes(const std::string& text, std::uint8_t* buffer, std::size_t capacity);
// The byte of two upper-case hexadecimal digits.
std::uint8_t HexByteValue(char high, char low);
// "%08X" of a result code, as the failure lines show it.
std::string ResultHex(pcsc::TResult code);
// The second failure line: "(" + the result's name + ").".
std::string ResultNameLine(pcsc::TResult code);

// What ReadCardFiles gives back for the closing message.
struct TCardIdentity {
    std::string CardNumber; // the card's 16 bytes, unchanged; empty when not read
    std::string Driver;     // initial + "_" + surname, the card's bytes; empty when not read
    // Driver decoded to UTF-8 by the names' code-page bytes, for display.
    std::string DriverDisplay;
    // Every file was read whole: no exchange failed, no read was refused and
    // no size was cut. A card pulled halfway leaves this false.
    bool Complete = true;
    // The download name shown in Edit1; empty when it was never composed.
    std::string DownloadName;
    // Signed files the card did not sign (it refused the hash or the
    // signature, or the file was not read whole): their records hold blanks
    // or are missing.
    int NotSignedByCard = 0;
    // 2 when the card has the second-generation application and its part was
    // read after the first's.
    int Generation = 1;
};

// What became of a download: the closing message's icon and the log's result
// line follow it.
struct TDownloadOutcome {
    // The working file was written and closed.
    bool Saved = false;
    // A driver card's download, every file read whole.
    bool Whole = false;
    // The card signed every signed file.
    bool Signed = true;
    // No signature was found not valid when checked against the root key (a
    // download that could not be checked is not held against).
    bool SignaturesValid = true;
    // The archived file, or the working file when it was not archived (kept
    // under a name of its own when the archive could not take it).
    std::string Path;
    // Why the download or its archiving failed, for the user; empty when not.
    std::string Error;
    // The system's error number and the file it concerns, for the error box.
    int ErrorNumber = 0;
    std::string ErrorPath;

    // A whole, signed download of a driver card, kept.
    bool Good() const { return Saved && Whole && Signed && SignaturesValid && Error.empty(); }
};

// Whether a card number was read: the closing message's test, which the
// command-line download's exit status follows too. Blanks and control bytes
// alone are no card number.
bool CardNumberRead(const std::string& cardNumber);

// Added to the closing message when the card did not sign every signed file.
constexpr char kNotSignedCroatian[] = "Datoteka nije potpisana karticom!";
constexpr char kNotSignedEnglish[] = "The file is not signed by the card!";

// The closing message's line after the driver's for a second-generation card,
// whose download holds both applications.
constexpr char kSecondGenerationCroatian[] = "Kartica druge generacije (G1 i G2)";
constexpr char kSecondGenerationEnglish[] = "Second-generation card (G1 and G2)";

// Added to the closing message when the card number was read but the download
// is not whole, so that it is never taken for a good one.
constexpr char kIncompleteWarning[] = "Preuzimanje nije potpuno!";

// Said when another program holds the card and the service gave up waiting
// for it: nothing was read.
constexpr char kCardInUseCroatian[] = "Karticu upravo koristi drugi program. Pokušajte ponovno.";
constexpr char kCardInUseEnglish[] = "The card is in use by another program. Try again.";

// What became of one of the card's files in a download.
enum class TFileStatus {
    Read,      // read whole
    Partial,   // read in part: the record holds what came
    NotRead,   // the card refused its selection or its reading
    NotOnCard, // a second-generation version-2 file this card does not have
};
// Whether the card signed a file that is signed.
enum class TFileSigning { NotSigned, ByCard, Refused };

// What the card's part of a download gives back to the press.
struct TCardDownload {
    // False: the failed connection is logged, and nothing else was done.
    bool Connected = false;
    // Ended early because a stop was asked; the card is released, the file closed.
    bool Stopped = false;
    // Connected, but another program held the card and the service gave up
    // waiting for it: nothing was read.
    bool InUse = false;
    TCardIdentity Identity;
    // The card download file's error as the user sees it; empty when it was written.
    std::string FileError;
    int ErrorNumber = 0; // the system's number of that error
    // The written file's signatures checked valid, or not checked.
    bool SignaturesValid = true;
};

// Thrown by SendCommand, before it sends, once a stop of the download was
// asked: the steps unwind (closing the file) and the card is released.
class TDownloadStopped : public std::exception {
public:
    const char* what() const noexcept override { return "download stopped"; }
};

class TDownloadSteps;

class TCardSession {
public:
    TCardSession();
    virtual ~TCardSession();
    TCardSession(const TCardSession&) = delete;
    TCardSession& operator=(const TCardSession&) = delete;

    // Loads the library (empty: the platform's) and establishes FContext, logging both.
    void InitSmartCard(const std::string& library = {});
    // Fills `names` with the listed readers; a failed listing is logged by name
    // only and leaves `names` empty.
    void ListReaders(std::vector<std::string>& names);
    // A context that the service no longer knows (it stopped or restarted) is
    // replaced by a new one; true, and logged, when that worked.
    bool RenewContext();
    // Logs, once until the service is back, that the smart-card service is not
    // running and how to start it, when `result` says so.
    void NoteServiceResult(pcsc::TResult result);
    // The card state and ATR of `reader` as they are now, asked on FContext
    // without waiting: what its watcher's first report will say, for a caller
    // (the command line) that would otherwise wait for that report's thread.
    // Main thread only, as the reports; it does not call OnCardStateChanged.
    // The reader object is left as it was when the service does not answer.
    pcsc::TResult ReadCardState(TReaderObject& reader);

    // Command exchange. `expected`: the data bytes an extended-length read
    // asks for, when more than the usual response buffer holds.
    pcsc::TResult SendCommand(TReaderObject& reader, const std::string& command,
                              std::size_t expected = 0);
    void StoreResponse(const std::uint8_t* bytes, DWORD count);
    pcsc::TResult ConnectCard(TReaderObject& reader, bool exclusive);
    pcsc::TResult DisconnectCard(TReaderObject& reader);
    // After the card was reset under a download: connected again on the
    // download's context and its transaction begun anew; false when either fails.
    bool ReattachCard(TReaderObject& reader);

    // The card download file: reads the connected card's files into a working
    // file of this download's own, stores it (the archive, then FOutputPath,
    // each flushed to disk) and only then writes the download time to the
    // card, so that a card never says it was downloaded without a file.
    // Throws TFileError when the file cannot be created, written or closed;
    // what was written is kept then under a name of its own, beside FOutputPath.
    TCardIdentity ReadCardFiles(TReaderObject& reader);
    // After a whole download whose files the card signed: the download time
    // into EF Card_Download (UPDATE BINARY), the result logged. A refusal
    // changes nothing else; the file keeps the value read before.
    void UpdateLastDownload(TReaderObject& reader, std::uint32_t seconds);
    // Checks the signatures of the card download file just written against the
    // root key and logs the result in one line.
    // False when the signatures were checked and found not valid.
    bool VerifyDownload();

    // The read button's download from the press to the closing message.
    void BitBtn1Click();
    // The card's part of it: the connection, the files, the release of the
    // card and the check of the file, on `context`, which no other thread uses
    // meanwhile. Touches no window: log lines and the download name go through
    // the hooks, from the calling thread.
    TCardDownload DownloadCard(TReaderObject& reader, SCARDCONTEXT context);
    // Asks a running download to end before its next command. Any thread.
    void StopDownload() { FStopRequested = true; }
    // What the last download's file steps gave back; empty before the first.
    TCardIdentity FLastIdentity;
    // What became of the last download; set before its closing message.
    TDownloadOutcome FLastOutcome;

    std::unique_ptr<TPCSCRaw> FPCSC;
    SCARDCONTEXT FContext = 0;
    bool FCroatian = true;
    std::string FStatusWord;
    std::string FResponseData; // one char per byte, unchanged
    // FResponseData as "XX " per byte, for the log; left empty when WantsLog()
    // says that nobody reads the log.
    std::string FResponseHex;
    // "tmp.ddd" beside the executable unless set otherwise: every finished
    // download replaces it whole.
    std::string FOutputPath;
    // Only a whole driver card's download takes FOutputPath's name (--output
    // FILE); any other leaves it as it was and is kept beside it as
    // "<name>_nepotpuno.ddd".
    bool FPublishWholeOnly = false;
    // The archive that keeps every download; empty: downloads stay in
    // FOutputPath only.
    std::string FArchiveFolder;
    // Whether a whole signed download writes its time to the card.
    bool FUpdateCardDownload = true;
    // The root key file; empty: EC_PK.bin beside the program, then in the
    // user's configuration folder.
    std::string FRootKeyPath;
    // The second generation's root certificate; empty: the G2 part of a
    // download is not checked.
    std::string FRootG2Path;

private:
    // Stores the download that `file` holds; false, and the card untouched,
    // when it could not be stored. Fills FLastOutcome's place in the files.
    bool StoreDownload(TCardDownloadFile& file, const TCardIdentity& identity);
    // After a file error: what was written is kept under a name of its own.
    void KeepAfterError(TCardDownloadFile& file);
    // The download time into EF Card_Download of both applications, once
    // the download is stored.
    void WriteDownloadDate(TDownloadSteps& steps, TReaderObject& reader,
                           const TCardIdentity& identity, std::uint32_t seconds);

    std::atomic<bool> FStopRequested{false};
    // The context DownloadCard runs on; none: FContext.
    SCARDCONTEXT FDownloadContext = 0;
    // Set while the download date is written: a stop then waits for both
    // applications, so that they never disagree. The download's thread only.
    bool FHoldStop = false;
    // What the last download wrote, byte for byte: its signatures are checked
    // in it, never in a file that another download may have replaced since.
    std::string FWrittenBytes;
    // The response buffer of extended-length reads, kept between them.
    std::vector<std::uint8_t> FLargeResponse;

protected:
    // Runs DownloadCard for the press. Here on the calling thread with
    // FContext; the window runs it on a thread of its own and keeps handling
    // events meanwhile.
    virtual TCardDownload RunCardDownload(TReaderObject& reader);
    // After each of the card's files: how many are done of how many there are.
    virtual void ShowProgress(int /*filesDone*/, int /*filesToDo*/) {}
    // After each read, from the download's thread: the bytes of the card's
    // files read so far and those there are to read as far as known now. The
    // second count grows as the sizes become known: the first application's
    // files once EF Application_Identification is read, the second's once
    // the card has turned out to have it and its own counts are read.
    virtual void ShowBytes(std::size_t /*bytesDone*/, std::size_t /*bytesToDo*/) {}
    // After each of the card's files, of both generations, from the download's
    // thread: what became of it. `name` is the log's name of the file.
    virtual void NoteFile(std::uint16_t /*fid*/, const std::string& /*name*/,
                          TFileStatus /*status*/, TFileSigning /*signing*/) {}
    // Archives the working file and logs the download's result line.
    void SaveDownload(const TCardIdentity& identity, const std::string& fileError);
    // After a download is filed in the archive as outcome.Path: its record in
    // the office register, kept by the window and the command line.
    virtual void RecordDownload(const TCardIdentity& /*identity*/,
                                const TDownloadOutcome& /*outcome*/) {}
    bool FServiceNoteShown = false;

    // The file steps run the exchange and log as the session's own.
    friend class TDownloadSteps;
    // One line of the message log.
    virtual void AddLog(const std::string& line) = 0;
    // Whether anybody reads the log lines of the download's exchanges (the
    // responses in hex and as text, the chunks' status lines). A session
    // without a reader of its log (the command line, quiet) says no, and those
    // lines are not even built; the file and the exchanges stay the same.
    virtual bool WantsLog() const { return true; }
    // Edit1: the download name, or empty.
    virtual void ShowDownloadName(const std::string& name) = 0;
    // The reader object of the selected entry, or null.
    virtual TReaderObject* SelectedReader() = 0;
    // Hold and release the log's painting.
    virtual void BeginLogUpdate() = 0;
    virtual void EndLogUpdate() = 0;
    // The read button.
    virtual std::string ReadButtonCaption() const = 0;
    virtual void SetReadButton(const std::string& caption, bool enabled) = 0;
    virtual void UpdateReadButton() = 0;
    // The modal closing message; carriage returns separate its lines.
    virtual void ShowMessage(const std::string& text) = 0;
    // The message of an input/output error on the card download file.
    virtual void ShowError(const std::string& text) = 0;
};
