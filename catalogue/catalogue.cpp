#include "catalogue/catalogue.h"

#include <string_view>

// Stays 0 until the start-up sequence stores the user's locale; until then
// every text comes out in English.
uint32_t UserLcid = 0;

namespace {

struct Translation {
    uint32_t lcid;
    std::u16string_view text;
};

struct Entry {
    std::u16string_view key;
    std::initializer_list<Translation> translations;
};

constexpr uint32_t kGerman = 1031;
constexpr uint32_t kFrench = 1036;
constexpr uint32_t kItalian = 1040;
constexpr uint32_t kJapanese = 1041;
constexpr uint32_t kKorean = 1042;
constexpr uint32_t kRussian = 1049;
constexpr uint32_t kChineseSimplified = 2052;

// English has no rows: the key is the English text.
const Entry kCatalogue[] = {
    {u"Tapwright", {{kKorean, u"탭라이트"}}},
    {u"The application configuration file is invalid.",
     {
         {kGerman, u"Die Anwendungskonfigurationsdatei ist ungültig."},
         {kFrench, u"Le fichier de configuration de l'application n'est pas valide."},
         {kItalian, u"Il file di configurazione dell'applicazione non è valido."},
         {kJapanese, u"アプリケーションの設定ファイルが無効です。"},
         {kKorean, u"응용 프로그램 구성 파일이 잘못되었습니다."},
         {kRussian, u"Конфигурационный файл приложения недействителен."},
         {kChineseSimplified, u"应用程序配置文件无效。"},
     }},
    {u"Please reinstall and run.",
     {
         {kGerman, u"Bitte neu installieren und ausführen."},
         {kFrench, u"Veuillez réinstaller et exécuter."},
         {kItalian, u"Si prega di reinstallare ed eseguire."},
         {kJapanese, u"再インストールして実行してください。"},
         {kKorean, u"다시 설치 후 실행해 주십시오."},
         {kRussian, u"Пожалуйста, переустановите и запустите."},
         {kChineseSimplified, u"请重新安装并运行。"},
     }},
    {u"This program has been updated.",
     {
         {kGerman, u"Dieses Programm ist aktualisiert worden."},
         {kFrench, u"Ce programme a été mis à jour."},
         {kItalian, u"Questo programma è stato aggiornato."},
         {kJapanese, u"このプログラムがアップデートされました。"},
         {kKorean, u"업데이트가 정보가 있습니다."},
         {kRussian, u"Данная программа была обновлена."},
         {kChineseSimplified, u"该程序已更新。"},
     }},
    {u"It is recommended to download and execute new for stable use.",
     {
         {kGerman,
          u"Es wird empfohlen, es herunterzuladen und neu auszuführen, um es stabil zu "
          u"verwenden."},
         {kFrench,
          u"Il est recommandé de télécharger et d'exécuter la nouvelle version pour une "
          u"utilisation stable."},
         {kItalian, u"Si raccomanda di scaricarlo ed eseguirlo per un uso stabile."},
         {kJapanese, u"安定的に使用するために新しくダウンロード·実行することをお勧めします。"},
         {kKorean, u"안정적으로 사용하기 위해 업데이트를 하시길 권장합니다."},
         {kRussian, u"Рекомендуется скачать и выполнить новое для стабильного использования."},
         {kChineseSimplified, u"建议下载并执行新程序以稳定使用。"},
     }},
    {u"Do you want to download it?",
     {
         {kGerman, u"Möchten Sie es herunterladen?"},
         {kFrench, u"Voulez-vous le télécharger?"},
         {kItalian, u"Volete scaricarlo?"},
         {kJapanese, u"ダウンロードしますか。"},
         {kKorean, u"다운로드 받으시겠습니까?"},
         {kRussian, u"Вы хотите загрузить ее?"},
         {kChineseSimplified, u"您要下载吗？"},
     }},
};

}  // namespace

// Exact matches only, on both the key and the whole LCID: a regional variant
// such as German (Austria) is not German (Germany) here, and gets English.
std::u16string TranslateFor(const std::u16string& key, uint32_t lcid) {
    for (const Entry& entry : kCatalogue) {
        if (entry.key != key) {
            continue;
        }
        for (const Translation& translation : entry.translations) {
            if (translation.lcid == lcid) {
                return std::u16string(translation.text);
            }
        }
        return key;
    }
    return key;
}

std::u16string Translate(const std::u16string& key) { return TranslateFor(key, UserLcid); }
