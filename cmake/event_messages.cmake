# Writes the event log's message file (.mc) from the catalogue of texts (src/common/messages.def):
# one message per Event ID, "%1", as the program reports each entry with its whole text as the one
# insertion string. Event Viewer then shows the text and filters by the ID. (The table is in US
# English, the language Windows falls back to for any system; the text itself is Portuguese.)
#   cmake -DDEF=messages.def -DOUT=events.mc -P event_messages.cmake
file(READ ${DEF} def)
string(REGEX MATCHALL "EVENT\\(k[A-Za-z0-9]+, [0-9]+," events "${def}")
set(mc "MessageIdTypedef=DWORD\nLanguageNames=(English=0x409:MSG00409)\n\n")
foreach(e ${events})
  string(REGEX REPLACE "EVENT\\((k[A-Za-z0-9]+), ([0-9]+)," "\\1;\\2" parts "${e}")
  list(GET parts 0 name)
  list(GET parts 1 id)
  string(APPEND mc "MessageId=${id}\nSymbolicName=TAVRIMONDO_${name}\nLanguage=English\n%1\n.\n\n")
endforeach()
file(WRITE ${OUT} "${mc}")
