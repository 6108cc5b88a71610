# Writes the page's service worker (OUTPUT) from its source (TEMPLATE) with the list of the
# page's files (FILES, '|'-separated names in DIR) it keeps for offline use and a version: a
# hash of those files' contents and of the worker's own source, so that any change to the page
# makes a new worker with a new cache.
#   cmake -DTEMPLATE=sw.js -DOUTPUT=page/sw.js -DDIR=page "-DFILES=a.js|b.css" -P StampServiceWorker.cmake
string(REPLACE "|" ";" names "${FILES}")
list(SORT names)
file(SHA256 ${TEMPLATE} digest)
set(all "sw.js ${digest}\n")
set(list "    './',\n")
foreach(name ${names})
  file(SHA256 ${DIR}/${name} digest)
  string(APPEND all "${name} ${digest}\n")
  string(APPEND list "    '${name}',\n")
endforeach()
string(SHA256 version "${all}")
string(SUBSTRING ${version} 0 16 version)

file(READ ${TEMPLATE} text)
string(REGEX REPLACE "const VERSION = '[^']*';" "const VERSION = '${version}';" text "${text}")
string(FIND "${text}" "const FILES = [" begin)
string(FIND "${text}" "];" end)
if(begin LESS 0 OR end LESS begin)
  message(FATAL_ERROR "${TEMPLATE} has no `const FILES = [...];` to stamp")
endif()
string(SUBSTRING "${text}" 0 ${begin} head)
math(EXPR end "${end} + 2")
string(SUBSTRING "${text}" ${end} -1 tail)
file(WRITE ${OUTPUT}.new "${head}const FILES = [\n${list}];${tail}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
