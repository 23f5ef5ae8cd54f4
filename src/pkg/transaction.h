// One installation (a package, a bundle with its members, and what the
// resolution of scheduled actions removes, disables or enables with it) is
// one transaction over the tree under "/flash".
//
// Its journal lives in the reserved directory "/flash/var/pdb/.txn", which no
// package can ship (extraction refuses it, loading skips dot names). Every
// change is written to the journal before it is made:
//   A N PATH   what stood at PATH (resolved as a chroot would) was moved to .txn/N
//   a N PATH   the same for a file of a database entry (no link followed)
//   F PATH     a new file, link or node is about to be made at PATH
//   D PATH     a new directory is about to be made at PATH
//   f PATH     a new database file (no link followed) is about to be written
//   E NAME     the database entry NAME is about to be made or filled
//   S NAME     the schedule file of NAME is carried out by this transaction
//   C          committed
// Undoing runs the lines backwards, cutting each off the journal once it is
// undone, so that an undo that is itself interrupted goes on where it stopped.
// Every run that loads the database first finishes a committed journal
// (deletes what was set aside) or undoes an uncommitted one.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

class InstallRoot;

inline constexpr const char* kTransactionDir = "var/pdb/.txn";

class Transaction {
public:
    Transaction() = default;
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // The transaction that the installation now running writes into, or null
    // (driver mode, tests of single operations).
    static Transaction* active();
    // Makes this the installation's transaction (begun at its first change).
    void makeActive();

    // Creates the reserved directory and the journal, durably; the
    // transaction becomes the active one. False with errno set.
    bool begin();
    bool started() const { return journal_ >= 0; }

    // A point to undo back to.
    size_t savepoint() const { return size_; }

    // Moves what stands at `path` (not a directory) into the reserved
    // directory; nothing there is no error. False with errno set.
    bool setAside(const std::string& path);
    // The same for many paths, in their order, with one flush of the journal.
    // failedPath() names the one that could not be moved.
    bool setAsideAll(const std::vector<std::string>& paths);
    const std::string& failedPath() const { return failedPath_; }
    // Moves every file of the database entry `name` (not its dot files or
    // sub-directories, which stay in the entry as a removal leaves them).
    bool setAsideEntry(const std::string& name);
    // The same for some files of an entry (the enabled/disabled marks).
    bool setAsideEntryFiles(const std::string& name, std::initializer_list<const char*> files);

    // Notes a change about to be made (see the line types above).
    // False with errno set when the journal cannot take the line: the change
    // must then not be made.
    bool noteCreated(const std::string& path);
    bool noteDirectory(const std::string& path);
    // Notes every directory of `path` (the last component included) that does
    // not exist yet, from the top down, as about to be made.
    bool noteMissingDirectories(const InstallRoot& root, const std::string& path);
    void noteEntryFile(const std::string& name, const char* file);
    void noteEntry(const std::string& name);
    void noteSchedule(const std::string& name);

    // Whether a directory (given by its descriptor) is the reserved one.
    bool isReserved(int dirFd) const;

    // Undoes everything after the savepoint; false (reported) when something
    // could not be put back, in which case the journal stays for the next run.
    bool rollbackTo(size_t point);
    // Makes everything durable, marks the journal committed and deletes what
    // was set aside.
    bool commit();
    // Undoes everything and ends the transaction.
    bool rollback();

    // Takes over the reserved directory and journal of an interrupted run.
    void adopt(int dirFd, int journalFd);
    // Deletes what a committed transaction set aside and ends it.
    bool finishCommitted();

private:
    bool append(const std::string& line);
    bool moveAside(int parentFd, const std::string& last, const std::string& path, char type);
    void end();
    bool removeJournal();

    int journal_ = -1;
    int dir_ = -1;
    size_t size_ = 0;
    unsigned counter_ = 0;
    bool failed_ = false;
    std::string failedPath_;
};

// Finishes or undoes a transaction that an earlier run left in the journal.
// False (reported as an error) when it could not be undone whole; the journal
// then stays for the next run.
bool recoverTransaction();

// A simulated installation (vpk install --simulate) works everything out and
// prints every message of the real one, but writes nothing: no journal, no
// file, no database entry, no recovery of an interrupted run.
void setSimulation(bool simulate);
bool simulating();
// The recorded paths that a simulated installation has set aside: they count
// as free.
std::set<std::string>& simulatedFree();

// Whether the journal is flushed to the disk at its points (on unless a
// benchmark measures what that costs).
void setTransactionDurable(bool durable);

// Fault injection for the crash tests: every change that an installation
// makes passes here; with a limit set, the process kills itself with SIGKILL
// at the limit-th one.
void faultPoint();
void setFaultLimit(long limit);
long faultCount();
