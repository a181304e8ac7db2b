; The installer's and the uninstaller's languages: the launcher's eight. NSIS's own language
; files give the standard texts (buttons, pages, captions); the texts below are the product's,
; written as the launcher's catalogue writes them. $(^Name) is the product's name as the setup
; shows it: "Tapwright", but for Korean, whose name follows the launcher's title; the Apps-list
; entry and the shortcut keep ${PRODUCT} in every language.
;
; NSIS takes the language from the user's UI language as GetUserDefaultUILanguage reports it:
; an exact match, else one of the same primary language (German (Austria) gets German, Chinese
; (Taiwan) Simplified Chinese), else the first file loaded, English. On Windows the UI language
; is the display language, set apart from the regional format whose LCID picks the launcher's
; texts (exact matches only): a user who reads an English Windows in German formats meets the
; launcher in German and its setup in English. Wine takes both from the Unix locale, so LC_ALL
; alone sets both, and the tests cannot tell them apart.
LoadLanguageFile "${NSISDIR}\Contrib\Language files\English.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\German.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\French.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\Italian.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\Japanese.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\Korean.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\Russian.nlf"
LoadLanguageFile "${NSISDIR}\Contrib\Language files\SimpChinese.nlf"

; A text that one language lacks would come out empty there: that fails the build.
!pragma warning error 6040

LangString ^Name ${LANG_KOREAN} "탭라이트"

LangString RunningNotUpdated ${LANG_ENGLISH} "$(^Name) is running, so it could not be updated to \
    ${VERSION}. Nothing was changed. Close $(^Name) and run this setup again."
LangString RunningNotUpdated ${LANG_GERMAN} "$(^Name) wird ausgeführt und konnte daher nicht auf \
    ${VERSION} aktualisiert werden. Es wurde nichts geändert. Bitte schließen Sie $(^Name) und \
    führen Sie dieses Setup erneut aus."
LangString RunningNotUpdated ${LANG_FRENCH} "$(^Name) est en cours d'exécution et n'a donc pas pu \
    être mis à jour vers la version ${VERSION}. Rien n'a été modifié. Veuillez fermer $(^Name) \
    et exécuter à nouveau ce programme d'installation."
LangString RunningNotUpdated ${LANG_ITALIAN} "$(^Name) è in esecuzione, quindi non è stato \
    possibile aggiornarlo alla versione ${VERSION}. Non è stato modificato nulla. Si prega di \
    chiudere $(^Name) ed eseguire di nuovo questo programma di installazione."
LangString RunningNotUpdated ${LANG_JAPANESE} "$(^Name) が実行中のため、${VERSION} にアップデート\
    できませんでした。何も変更されていません。$(^Name) を終了してから、このセットアップをもう一度実行\
    してください。"
LangString RunningNotUpdated ${LANG_KOREAN} "$(^Name)가 실행 중이어서 ${VERSION} 버전으로 \
    업데이트하지 못했습니다. 아무것도 변경되지 않았습니다. $(^Name)를 종료한 후 이 설치 프로그램을 \
    다시 실행해 주십시오."
LangString RunningNotUpdated ${LANG_RUSSIAN} "Программа $(^Name) запущена, поэтому её не удалось \
    обновить до версии ${VERSION}. Ничего не изменено. Пожалуйста, закройте $(^Name) и запустите \
    эту программу установки ещё раз."
LangString RunningNotUpdated ${LANG_SIMPCHINESE} "$(^Name) 正在运行，因此无法更新到 ${VERSION}。\
    未做任何更改。请关闭 $(^Name) 后再次运行此安装程序。"

LangString RunningNotRemoved ${LANG_ENGLISH} "$(^Name) is running, so it could not be removed. \
    Nothing was changed. Close $(^Name) and try again."
LangString RunningNotRemoved ${LANG_GERMAN} "$(^Name) wird ausgeführt und konnte daher nicht \
    entfernt werden. Es wurde nichts geändert. Bitte schließen Sie $(^Name) und versuchen Sie es \
    erneut."
LangString RunningNotRemoved ${LANG_FRENCH} "$(^Name) est en cours d'exécution et n'a donc pas pu \
    être désinstallé. Rien n'a été modifié. Veuillez fermer $(^Name) et réessayer."
LangString RunningNotRemoved ${LANG_ITALIAN} "$(^Name) è in esecuzione, quindi non è stato \
    possibile disinstallarlo. Non è stato modificato nulla. Si prega di chiudere $(^Name) e \
    riprovare."
LangString RunningNotRemoved ${LANG_JAPANESE} "$(^Name) が実行中のため、アンインストールできません\
    でした。何も変更されていません。$(^Name) を終了してから、もう一度お試しください。"
LangString RunningNotRemoved ${LANG_KOREAN} "$(^Name)가 실행 중이어서 제거하지 못했습니다. 아무것도 \
    변경되지 않았습니다. $(^Name)를 종료한 후 다시 시도해 주십시오."
LangString RunningNotRemoved ${LANG_RUSSIAN} "Программа $(^Name) запущена, поэтому её не удалось \
    удалить. Ничего не изменено. Пожалуйста, закройте $(^Name) и повторите попытку."
LangString RunningNotRemoved ${LANG_SIMPCHINESE} "$(^Name) 正在运行，因此无法卸载。未做任何更改。\
    请关闭 $(^Name) 后重试。"

LangString NotCompleted ${LANG_ENGLISH} "The update of $(^Name) to ${VERSION} did not complete, \
    because one of its files is in use. $(^Name) can still be used. Run this setup again to finish \
    the update."
LangString NotCompleted ${LANG_GERMAN} "Die Aktualisierung von $(^Name) auf ${VERSION} wurde nicht \
    abgeschlossen, weil eine seiner Dateien verwendet wird. $(^Name) kann weiterhin verwendet \
    werden. Bitte führen Sie dieses Setup erneut aus, um die Aktualisierung abzuschließen."
LangString NotCompleted ${LANG_FRENCH} "La mise à jour de $(^Name) vers la version ${VERSION} n'a \
    pas pu être terminée, car l'un de ses fichiers est en cours d'utilisation. $(^Name) reste \
    utilisable. Veuillez exécuter à nouveau ce programme d'installation pour terminer la mise à jour."
LangString NotCompleted ${LANG_ITALIAN} "L'aggiornamento di $(^Name) alla versione ${VERSION} non è \
    stato completato perché uno dei suoi file è in uso. $(^Name) resta utilizzabile. Si prega di \
    eseguire di nuovo questo programma di installazione per completare l'aggiornamento."
LangString NotCompleted ${LANG_JAPANESE} "$(^Name) の ${VERSION} へのアップデートは、ファイルの 1 つが\
    使用中のため完了しませんでした。$(^Name) は引き続き使用できます。アップデートを完了するには、この\
    セットアップをもう一度実行してください。"
LangString NotCompleted ${LANG_KOREAN} "$(^Name)의 ${VERSION} 버전 업데이트가 파일 중 하나가 사용 중이어서 \
    완료되지 않았습니다. $(^Name)는 계속 사용할 수 있습니다. 업데이트를 완료하려면 이 설치 프로그램을 \
    다시 실행해 주십시오."
LangString NotCompleted ${LANG_RUSSIAN} "Обновление $(^Name) до версии ${VERSION} не завершено, так \
    как один из её файлов используется. Программой $(^Name) можно пользоваться. Пожалуйста, \
    запустите эту программу установки ещё раз, чтобы завершить обновление."
LangString NotCompleted ${LANG_SIMPCHINESE} "$(^Name) 更新到 ${VERSION} 未完成，因为它的一个文件正在\
    使用中。$(^Name) 仍可使用。请再次运行此安装程序以完成更新。"

LangString SetupBusy ${LANG_ENGLISH} "Another setup of $(^Name) is running, so nothing was \
    changed. Wait until it has finished, then try again."
LangString SetupBusy ${LANG_GERMAN} "Ein anderes Setup von $(^Name) wird gerade ausgeführt, daher \
    wurde nichts geändert. Bitte warten Sie, bis es beendet ist, und versuchen Sie es dann erneut."
LangString SetupBusy ${LANG_FRENCH} "Une autre installation de $(^Name) est en cours, rien n'a \
    donc été modifié. Veuillez attendre qu'elle soit terminée, puis réessayer."
LangString SetupBusy ${LANG_ITALIAN} "È in corso un'altra installazione di $(^Name), quindi non è \
    stato modificato nulla. Si prega di attendere che sia terminata, poi riprovare."
LangString SetupBusy ${LANG_JAPANESE} "$(^Name) の別のセットアップが実行中のため、何も変更されて\
    いません。終了するまで待ってから、もう一度お試しください。"
LangString SetupBusy ${LANG_KOREAN} "$(^Name)의 다른 설치 프로그램이 실행 중이어서 아무것도 변경되지 \
    않았습니다. 끝날 때까지 기다린 후 다시 시도해 주십시오."
LangString SetupBusy ${LANG_RUSSIAN} "Уже выполняется другая установка $(^Name), поэтому ничего не \
    изменено. Пожалуйста, дождитесь её завершения и повторите попытку."
LangString SetupBusy ${LANG_SIMPCHINESE} "$(^Name) 的另一个安装程序正在运行，因此未做任何更改。\
    请等待其完成后重试。"

; $_CLICK is the language file's own "Click Uninstall to ..." sentence.
LangString ConfirmUninstall ${LANG_ENGLISH} "$(^Name) will be removed from this computer, with its \
    programs in the folder below and its Start menu shortcut. $_CLICK"
LangString ConfirmUninstall ${LANG_GERMAN} "$(^Name) wird mit den Programmen im folgenden Ordner \
    und der Verknüpfung im Startmenü von diesem Computer entfernt. $_CLICK"
LangString ConfirmUninstall ${LANG_FRENCH} "$(^Name) va être désinstallé de cet ordinateur, avec \
    ses programmes dans le dossier ci-dessous et son raccourci dans le menu Démarrer. $_CLICK"
LangString ConfirmUninstall ${LANG_ITALIAN} "$(^Name) verrà rimosso da questo computer, con i suoi \
    programmi nella cartella seguente e il suo collegamento nel menu Start. $_CLICK"
LangString ConfirmUninstall ${LANG_JAPANESE} "$(^Name) をこのコンピューターから削除します。次の\
    フォルダーにあるプログラムと、スタート メニューのショートカットが削除されます。$_CLICK"
LangString ConfirmUninstall ${LANG_KOREAN} "$(^Name)를 이 컴퓨터에서 제거합니다. 아래 폴더의 \
    프로그램과 시작 메뉴의 바로 가기가 삭제됩니다. $_CLICK"
LangString ConfirmUninstall ${LANG_RUSSIAN} "Программа $(^Name) будет удалена с этого компьютера \
    вместе с файлами в папке ниже и ярлыком в меню «Пуск». $_CLICK"
LangString ConfirmUninstall ${LANG_SIMPCHINESE} "将从此计算机中删除 $(^Name)，包括下列文件夹中的\
    程序和“开始”菜单中的快捷方式。$_CLICK"
