// JexMsg: the error class of the library's general messages, and its message table.
#pragma once

#include "jexlink/core/JexException.h"

// The library message table, one row per code: general, command-line and
// connection messages (0 to 27), service-request client texts (28 to 44),
// the interactive database-search client (45 to 141), file copy and the
// analysis tools (142 to 194) and the rest (195 to 209). Codes 22, 46 and 47
// are not used. The row of 49 stands before that of 48, and 139 before 138.
#define JEXMSG_TEXTS(JEX_TEXT)                                                                     \
    JEX_TEXT(0, OK, "Operation successful")                                                        \
    JEX_TEXT(1, CLISYNTAX, "Command syntax error.")                                                \
    JEX_TEXT(2, CLTBLBAD, "Command syntax table %1$s is corrupt.")                                 \
    JEX_TEXT(3, CLTBLFNF, "Command syntax table %1$s not found.")                                  \
    JEX_TEXT(4, CLTBLVER, "Command syntax table %1$s has version %2$d; version %3$d is required.") \
    JEX_TEXT(5, INVCMD, "Invalid command: %1$s")                                                   \
    JEX_TEXT(6, CONNWAIT, "Connecting to target %1$s.%2$s.jex.  Please wait...")                   \
    JEX_TEXT(7, CONNWAIT2, "Connecting to target %1$s.  Please wait...")                           \
    JEX_TEXT(8, CONNESTAB, "Connection to target %1$s established.")                               \
    JEX_TEXT(9, NETEXSTAT, "Stats: M%1$d/%2$d/%3$d/%4$d   B%5$d/%6$d/%7$d/%8$d   C%9$d    ")       \
    JEX_TEXT(10, NETEXDONE,                                                                        \
             "Testing complete.\n\tMessages Sent: %1$8d\n\tMessages Read: %2$8d\n\tMessages "      \
             "Good: %3$8d\n\tMessages Bad:  %4$8d\n\tBytes Sent:    %5$8d\n\tBytes Read:    "      \
             "%6$8d\n\tBytes Good:    %7$8d\n\tBytes Bad:     %8$8d\n\tBPS:           %9$8d")      \
    JEX_TEXT(11, CANNOTDELETE, "Unable to delete file %1$s.")                                      \
    JEX_TEXT(12, OPENERR, "Error %1$d while opening file %2$s.")                                   \
    JEX_TEXT(13, ACCESSFAIL, "Access to %1$s denied.")                                             \
    JEX_TEXT(14, JACKETMSGCORRUPT, "Received message is corrupt.")                                 \
    JEX_TEXT(15, APPLNOTGIVEN, "No application name given.")                                       \
    JEX_TEXT(16, APPLNOTKNOWN, "Application %1$s is not known on this node.")                      \
    JEX_TEXT(17, MGMTCMDNOTAVL, "Management command %1$s is not available.")                       \
    JEX_TEXT(18, NETEXPATHHEAD, "Path to target %1$s:\n")                                          \
    JEX_TEXT(19, NETEXPATHHOP,                                                                     \
             "  Encounter #%1$d\n    System ID:      %2$s\n    System Information:    %3$s\n    "  \
             "Inbound Link:   %4$s\n    Outbound Link:  %5$s\n")                                   \
    JEX_TEXT(20, CONNLISTEN, "Listening for connections to application %1$s.")                     \
    JEX_TEXT(21, CONNFAIL, "Connection to target failed.")                                         \
    JEX_TEXT(23, AUTHFAIL, "Authorization failed for %1$s.")                                       \
    JEX_TEXT(24, AUGSUCCESS, "Service request %1$s has been augmented.")                           \
    JEX_TEXT(25, AUGFAIL, "Unable to augment service request %1$s.")                               \
    JEX_TEXT(26, SENDREQUESTTOPSS, "Sending request to the support centre...")                     \
    JEX_TEXT(27, WAITFORPSSRESP, "Waiting for the support centre to respond...")                   \
    JEX_TEXT(28, NOSRQID, "No service request number given.")                                      \
    JEX_TEXT(29, NODESCRIPTION, "No problem description given.")                                   \
    JEX_TEXT(30, NOSUBJECT, "No subject given.")                                                   \
    JEX_TEXT(31, NOTVALIDUSER, "%1$s is not a valid user.")                                        \
    JEX_TEXT(32, CREATESUCCESS, "FERRAND has received your service request.")                      \
    JEX_TEXT(33, SRQNUMBER, "The service request number is: ")                                     \
    JEX_TEXT(34, REPLYTOMAILERR, "Unable to send acknowledgement mail to %1$s.")                   \
    JEX_TEXT(35, CREATEFAIL, "Unable to create the service request.")                              \
    JEX_TEXT(36, REPLYTOSUBJECT, "Acknowledgement Mail from JEXlink Service Request")              \
    JEX_TEXT(37, NOROUTINGCODE, "No routing code given.")                                          \
    JEX_TEXT(38, MAILERR, "Unable to send mail to %1$s.")                                          \
    JEX_TEXT(39, FETCHNOLIST, "No files are available for service request %1$s.")                  \
    JEX_TEXT(40, FETCHFAIL, "Unable to fetch %1$s for service request %2$s.")                      \
    JEX_TEXT(41, FETSUCCESS, "File %1$s of service request %2$s has been fetched.")                \
    JEX_TEXT(42, REVNOWUS, "Service request %1$s has no work units.")                              \
    JEX_TEXT(43, REVFAIL, "Unable to review service request %1$s.")                                \
    JEX_TEXT(44, REVSUCCESS, "Review of service request %1$s complete.")                           \
    JEX_TEXT(45, ITSCHECKAUTH, "Checking ITS authorization...")                                    \
    JEX_TEXT(49, ITSESTABCONN, "Establishing ITS connection...")                                   \
    JEX_TEXT(48, ITSESTABCONNMSG, "Establishing ITS connection to domain %s at node %s.")          \
    JEX_TEXT(50, ITSSESSFAIL, "ITS session failed.")                                               \
    JEX_TEXT(51, ITSSESSSUCCESS, "ITS session established.")                                       \
    JEX_TEXT(52, ITSCLIENTTXTPROMPT, "ITS> ")                                                      \
    JEX_TEXT(53, ITSCLIENTTXTPROMPTQVOS, "ITS: ")                                                  \
    JEX_TEXT(54, ITSWELCOMEMSG, "Welcome to the Interactive Technical Search service.")            \
    JEX_TEXT(55, ITSENTERCOMMAND, "Enter a command, or HELP for a list of commands.")              \
    JEX_TEXT(56, ITSEMPTYQUAL, "Qualifier %1$s needs a value.")                                    \
    JEX_TEXT(57, ITSOK, "OK")                                                                      \
    JEX_TEXT(58, ITSINVALIDVERB, "Invalid command: %1$s")                                          \
    JEX_TEXT(59, ITSAMBVERB, "Ambiguous command: %1$s")                                            \
    JEX_TEXT(60, ITSAVLNODEALLOCFAIL, "Unable to allocate memory for the database list.")          \
    JEX_TEXT(61, ITSDONE, "Done.")                                                                 \
    JEX_TEXT(62, ITSGETARTICLE, "Getting article %1$d...")                                         \
    JEX_TEXT(63, ITSCACHESTRTOOLONG,                                                               \
             "Search text is too long; at most %1$d characters are allowed.")                      \
    JEX_TEXT(64, ITSMAILSUBJECT, "ITS article %1$s")                                               \
    JEX_TEXT(65, ITSDBLISTABSENT, "The list of databases is not available.")                       \
    JEX_TEXT(66, ITSOPENINGMSG, "Opening database %1$s...")                                        \
    JEX_TEXT(67, ITSERROPENINGDB, "Error opening database %1$s.")                                  \
    JEX_TEXT(68, ITSSHOWONLYONEDB, "Only one database can be shown at a time.")                    \
    JEX_TEXT(69, ITSILLEGALCOMBO, "Qualifiers %1$s and %2$s cannot be combined.")                  \
    JEX_TEXT(70, ITSERRCLOSINGDB, "Error closing database %1$s.")                                  \
    JEX_TEXT(71, ITSSHOWDBERR, "Unable to show database %1$s.")                                    \
    JEX_TEXT(72, ITSCLOSING, "Closing ITS session...")                                             \
    JEX_TEXT(73, ITSNOFILENAME, "No file name given.")                                             \
    JEX_TEXT(74, ITSNOTITLELIST, "There is no title list.")                                        \
    JEX_TEXT(75, ITSIOERR, "I/O error on %1$s.")                                                   \
    JEX_TEXT(76, ITSTTLCACHEINCONST, "The title cache is inconsistent.")                           \
    JEX_TEXT(77, ITSNOREADINPROG, "No read is in progress.")                                       \
    JEX_TEXT(78, ITSBADSERVERSTATUS, "The server returned status %1$d.")                           \
    JEX_TEXT(79, ITSINVALIDARTNUM, "Invalid article number: %1$s")                                 \
    JEX_TEXT(80, ITSNODATA, "No data received.")                                                   \
    JEX_TEXT(81, ITSUNKNOWNMSGTYPE, "Unknown message type %1$d received.")                         \
    JEX_TEXT(82, ITSINVINTERTYPE, "Invalid interface type %1$d.")                                  \
    JEX_TEXT(83, ITSMEMALLOCFAIL, "Memory allocation failed.")                                     \
    JEX_TEXT(84, ITSAMBIGQUERY, "Ambiguous query: %1$s")                                           \
    JEX_TEXT(85, ITSNOSEARCH, "No search has been done.")                                          \
    JEX_TEXT(86, ITSNOPRIORREAD, "There is no previous article.")                                  \
    JEX_TEXT(87, ITSNOBACK, "Cannot go back any further.")                                         \
    JEX_TEXT(88, ITSNOMATCHESFOUND, "No matches found.")                                           \
    JEX_TEXT(89, ITSGETTINGARTICLE, "Getting article %1$s, please wait...")                        \
    JEX_TEXT(90, ITSINACTIVETIMEOUT, "Session inactive for %1$d minutes.")                         \
    JEX_TEXT(91, ITSTIMEOUTSHUTDOWN, "Session timed out; shutting down.")                          \
    JEX_TEXT(92, ITSINVALIDDATESYNT, "Invalid date: %1$s")                                         \
    JEX_TEXT(93, ITSNODBOPEN, "No database is open.")                                              \
    JEX_TEXT(94, ITSNOCURRTITLELIST, "There is no current title list.")                            \
    JEX_TEXT(95, ITSNUMINCURTITLIST, "%d articles are in current title list.\n\n")                 \
    JEX_TEXT(96, ITSMAILADDRPROMPT, "Mail address: ")                                              \
    JEX_TEXT(97, ITSWINDOWSETUP, "Setting up window...")                                           \
    JEX_TEXT(98, ITSWDWSETUPDONE, "Window set up.")                                                \
    JEX_TEXT(99, ITSRETRIEVEDLINES, "%1$d lines retrieved.")                                       \
    JEX_TEXT(100, ITSRETRIEVEDARTICLES, "%1$d articles retrieved.")                                \
    JEX_TEXT(101, ITSTIMEOUTASTERLINE, "****************************************")                 \
    JEX_TEXT(102, ITSTIMEOUTLINE1, "The session has been inactive for %1$d minutes.")              \
    JEX_TEXT(103, ITSTIMEOUTLINE2, "It will be closed in %1$d minutes")                            \
    JEX_TEXT(104, ITSTIMEOUTLINE3, "unless a command is entered.")                                 \
    JEX_TEXT(105, ITSDBALREADYOPEN, "Database %1$s is already open.")                              \
    JEX_TEXT(106, ITSDBNOTOPEN, "Database %1$s is not open.")                                      \
    JEX_TEXT(107, ITSINVDBNAME, "Invalid database name: %1$s")                                     \
    JEX_TEXT(108, ITSDBNOTAVAIL, "Database %1$s is not available.")                                \
    JEX_TEXT(109, ITSDBLISTTOOLONG, "The database list is too long.")                              \
    JEX_TEXT(110, ITSSPECIFYFEWERDB, "Specify at most %1$d databases.")                            \
    JEX_TEXT(111, ITSCANTCLOSEREQ, "Unable to close the request.")                                 \
    JEX_TEXT(112, ITSCANTCLOSESURVEY, "Unable to close the survey.")                               \
    JEX_TEXT(113, ITSCANTFETCHWIDDESC, "Unable to fetch the window description.")                  \
    JEX_TEXT(114, ITSCANTOPENHIERARCHY, "Unable to open hierarchy %1$s.")                          \
    JEX_TEXT(115, ITSCANTREGISCALLBACKS, "Unable to register callbacks.")                          \
    JEX_TEXT(116, ITSCLOSEALLFAIL, "Unable to close all databases.")                               \
    JEX_TEXT(117, ITSFULLDBDESCIGNORED, "Full database description ignored.")                      \
    JEX_TEXT(118, ITSBLANKDBNAMEIGNORED, "Blank database name ignored.")                           \
    JEX_TEXT(119, ITSMUSTENTERFILE, "A file name must be entered.")                                \
    JEX_TEXT(120, ITSMUSTENTERMEDIA, "A medium must be entered.")                                  \
    JEX_TEXT(121, ITSMUSTENTERMAILADDR, "A mail address must be entered.")                         \
    JEX_TEXT(122, ITSMUSTENTERVALUE, "A value must be entered.")                                   \
    JEX_TEXT(123, ITSMUSTSELECTARTICLE, "An article must be selected.")                            \
    JEX_TEXT(124, ITSSELECTVALIDMEDIA, "Select a valid medium.")                                   \
    JEX_TEXT(125, ITSERRDURSURVEY, "Error during survey: %1$s")                                    \
    JEX_TEXT(126, ITSCONNECTSUCCESS, "Connected to ITS.")                                          \
    JEX_TEXT(127, ITSCONNECTFAILURE, "Unable to connect to ITS.")                                  \
    JEX_TEXT(128, ITSGETAVAILDB, "Getting the list of available databases...")                     \
    JEX_TEXT(129, ITSDELTMPFILE, "Unable to delete temporary file %1$s.")                          \
    JEX_TEXT(130, ITSTECHREVANDSIZE, "Technical review %1$s, size %2$d bytes")                     \
    JEX_TEXT(131, ITSRETTOCONTINUE, "Press RETURN to continue...")                                 \
    JEX_TEXT(132, ITSSPACETOCONTINUE, "Press SPACE to continue...")                                \
    JEX_TEXT(133, ITSNOTTOGGLE, "%1$s cannot be toggled.")                                         \
    JEX_TEXT(134, ITSINVALIDCOLUMNNUM, "Invalid column number: %1$s")                              \
    JEX_TEXT(135, ITSADDBEGINDATE, "Begin date: ")                                                 \
    JEX_TEXT(136, ITSADDENDDATE, "End date: ")                                                     \
    JEX_TEXT(137, ITSNOPARAM, "No parameter given.")                                               \
    JEX_TEXT(139, ITSININOTFOUND, "Initialization file %1$s not found.")                           \
    JEX_TEXT(138, ITSPROCINIFILE, "Processing initialization file %1$s...")                        \
    JEX_TEXT(140, ITSINIMSG, "%1$s")                                                               \
    JEX_TEXT(141, ITSRETURNTOEXIT, "Press RETURN to exit.")                                        \
    JEX_TEXT(142, FILEWUSTATMSG, "Creating work unit for %1$s...")                                 \
    JEX_TEXT(143, FILEWUSUCCMSG, "Work unit for %1$s created.")                                    \
    JEX_TEXT(144, FILETOOLSTATMSG, "Running tool %1$s...")                                         \
    JEX_TEXT(145, FILETOOLSUCCMSG, "Tool %1$s completed.")                                         \
    JEX_TEXT(146, FILEMAILSTATMSG, "Sending notification to %1$s...")                              \
    JEX_TEXT(147, FILEMAILSUCCESSMSG, "Notification sent to %1$s.")                                \
    JEX_TEXT(148, FILEDISPSTAT, "%1$s: %2$d bytes transferred.")                                   \
    JEX_TEXT(149, SIGFAILURE, "Signature check failed for %1$s.")                                  \
    JEX_TEXT(150, FILECOPYFAIL, "Copy of %1$s to %2$s failed.")                                    \
    JEX_TEXT(151, FILECOPYDONE, "Copy of %1$s to %2$s complete.")                                  \
    JEX_TEXT(152, MUSTBEPROVIDED, "%1$s must be provided.")                                        \
    JEX_TEXT(153, FILEGUIVALSRCTGT, "Both a source and a target file must be given.")              \
    JEX_TEXT(154, FILECOPYSTAT, "%1d%% of current file copied. %2d%% of all files copied.")        \
    JEX_TEXT(155, FILECOPYSTAT1, "%1$d%% of file %2$s copied.")                                    \
    JEX_TEXT(156, FILEMAILSUB, "File copy of %1$s")                                                \
    JEX_TEXT(157, FILEMAILMSGSUCCESS, "File %1$s has been copied to %2$s.")                        \
    JEX_TEXT(158, FILEMAILMSGFAIL, "File %1$s could not be copied to %2$s.")                       \
    JEX_TEXT(159, FILEMAILBODYMSG1, "Service request: %1$s")                                       \
    JEX_TEXT(160, FILEMAILBODYMSG2, "Access number: %1$s")                                         \
    JEX_TEXT(161, FILEDELETEMAILMSG, "File %1$s has been deleted.")                                \
    JEX_TEXT(162, FILEWUERRMSG, "Unable to create work unit for %1$s.")                            \
    JEX_TEXT(163, COPYRQLINE1, "File copy request from %1$s")                                      \
    JEX_TEXT(164, COPYRQLINE2, "Source: %1$s")                                                     \
    JEX_TEXT(165, COPYRQLINE3, "Target: %1$s")                                                     \
    JEX_TEXT(166, WORD_YES, "yes")                                                                 \
    JEX_TEXT(167, WORD_NO, "no")                                                                   \
    JEX_TEXT(168, FILEERR, "Error %1$d on file %2$s.")                                             \
    JEX_TEXT(169, FILETOOLERRMSG, "Tool %1$s failed with status %2$d.")                            \
    JEX_TEXT(170, FILETOOLMAILMSG, "FILETOOLMAILMSG: %1s %2s %3s %4s %5s")                         \
    JEX_TEXT(171, FILETOOLSUBJMSG, "Tool %1$s results")                                            \
    JEX_TEXT(172, FILEMAILERRMSG, "Unable to send notification to %1$s.")                          \
    JEX_TEXT(173, FILEABORTMSG, "File copy aborted.")                                              \
    JEX_TEXT(174, FNF, "File %1$s not found.")                                                     \
    JEX_TEXT(175, FILETOOLACCESSFAIL, "Access to tool %1$s denied.")                               \
    JEX_TEXT(176, FILETOOLNOTFOUND, "Tool %1$s not found.")                                        \
    JEX_TEXT(177, FILENOSRQID, "No service request number given for %1$s.")                        \
    JEX_TEXT(178, FILETEMPFAIL, "Unable to create temporary file %1$s.")                           \
    JEX_TEXT(179, SRQINVALID, "Service request number %1$s is not valid.")                         \
    JEX_TEXT(180, FILEEXIST, "File %1$s already exists.")                                          \
    JEX_TEXT(181, FILENODISKSPACE, "Not enough disk space for %1$s.")                              \
    JEX_TEXT(182, FILESIZELIMIT,                                                                   \
             "File %1$s \n\texceeds the file size limit of %2$d bytes\n\tset on %3$s.%4$s.jex.")   \
    JEX_TEXT(183, FILENOOVERRIDE, "File %1$s exists and may not be overwritten.")                  \
    JEX_TEXT(184, FILEGUIVALSRC, "A source file must be given.")                                   \
    JEX_TEXT(185, FILEGUIVALTGT, "A target file must be given.")                                   \
    JEX_TEXT(186, FILENODIRFILENAME, "%1$s is a directory, not a file.")                           \
    JEX_TEXT(187, FILEGUIVALTOOL, "A tool name must be given.")                                    \
    JEX_TEXT(188, FILEGUIVALDELETE, "Delete %1$s after copying?")                                  \
    JEX_TEXT(189, FILESERVERVERBOSE,                                                               \
             "\nFile Copy Server Parameters\n---------------------------\nSource File Name:      " \
             " %1$s\nTarget File Name:       %2$s\nRequesting Node:        %3$s\n")                \
    JEX_TEXT(                                                                                      \
        190, FILECLIENTVERBOSE,                                                                    \
        "\nFile Copy Client Parameters\n---------------------------\nSource File Name:       "     \
        "%1$s\nTarget File Name:       %2$s\nNotification Address:   %3$s\nNotification Subject: " \
        "  %4$s\nService Request Number: %5$s\nToolName:               %6$s\nAccess Number:      " \
        "    %7$s\nVersion:                %8$s\nFile Size:              %9$d bytes\n")            \
    JEX_TEXT(191, FILETOOLINFO1, "Tool:    %1$s")                                                  \
    JEX_TEXT(192, FILETOOLINFO2, "Version: %1$s")                                                  \
    JEX_TEXT(193, FILEEXIT, "File copy ended with status %1$d.")                                   \
    JEX_TEXT(194, FILENUMBEREXCEED, "At most %1$d files may be copied at once.")                   \
    JEX_TEXT(195, NOAUTOADDRESSES, "No automatic addresses are configured.")                       \
    JEX_TEXT(196, NOPRIV,                                                                          \
             "Insufficient privilege to perform operation\r\n\trequired privileges are %1$s")      \
    JEX_TEXT(197, FCPTRYV20, "Retrying with file copy protocol V2.0.")                             \
    JEX_TEXT(198, FCPTRYV22, "Retrying with file copy protocol V2.2.")                             \
    JEX_TEXT(199, QVOSMAILACKSUBJ, "Acknowledgement of service request %1$s")                      \
    JEX_TEXT(200, QVOSMAILACKCSC, "Customer support centre: %1$s")                                 \
    JEX_TEXT(201, QVOSMAILACKACID, "Access identifier: %1$s")                                      \
    JEX_TEXT(202, QVOSMAILACKRC, "Routing code: %1$s")                                             \
    JEX_TEXT(203, QVOSMAILACKDESC, "Description: %1$s")                                            \
    JEX_TEXT(204, QVOSMAILACKRECVD1, "FERRAND has received your service request.")                 \
    JEX_TEXT(205, QVOSMAILACKRECVD2, "The service request number is: %1$s")                        \
    JEX_TEXT(206, FILECOPYHOST2CUST, "Copying %1$s from the support centre to %2$s...")            \
    JEX_TEXT(207, FILECOPYMAILSUB, "File copy %1$s to %2$s")                                       \
    JEX_TEXT(208, LISTNOTALLOWED, "Listing of %1$s is not allowed.")                               \
    JEX_TEXT(209, DOMAINNOTME, "Domain %1$s is not served by this node.")

// A message of the library table as an error object. It never raises: it
// carries its message (with arguments and cause) for the caller to format
// and print with the message routines.
//
//   JexMsg msg(JexMsg::OPENERR, JexExcArgs("ReadFile", errno, path));
//   std::fprintf(stderr, "%s\n", git_nm(msg).Text());
class JexMsg : public JexException {
public:
    enum : int { JEXMSG_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Records the code with its arguments and cause (ExcSet); the suppress
    // flag is set first.
    explicit JexMsg(int code = OK, const JexExcArgs& args = JexExcArgs(),
                    JexException* cause = nullptr);
    ~JexMsg() override;
};
