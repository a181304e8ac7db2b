; The installer's own texts.
LangString RunningNotUpdated 1033 "${PRODUCT} is running, so it could not be updated to \
    ${VERSION}. Nothing was changed. Close ${PRODUCT} and run this setup again."
LangString RunningNotRemoved 1033 "${PRODUCT} is running, so it could not be removed. Nothing \
    was changed. Close ${PRODUCT} and try again."
LangString SetupBusy 1033 "Another setup of ${PRODUCT} is running, so nothing was changed. Wait \
    until it has finished, then try again."
