<?php
// The endpoint's version rule, and whole answers, under php-cli alone: php version_test.php
function Check(bool $ok, string $what) { if (!$ok) { fwrite(STDERR, "FAIL: $what\n"); exit(1); } }

$dir = sys_get_temp_dir() . '/tapwright-endpoint-' . getmypid();
mkdir($dir);
register_shutdown_function(fn () => array_map('unlink', glob("$dir/*")) && rmdir($dir));
foreach (['api.init.php', 'version.php'] as $f) copy(__DIR__ . "/../../endpoint/$f", "$dir/$f");
file_put_contents("$dir/release.json",
                  '{"version":"10.0.0.0","address":"https://e.com/\u00e9?a&b"}');
require_once "$dir/version.php";

foreach ([  // the caller's User-Version, the newest release, whether the caller is offered it
    ['2.0.1.0', '2.1.0.0', true], ['2.1.0.0', '2.1.0.0', false], ['2.1.0.1', '2.1.0.0', false],
    ['9.9.9.9', '10.0.0.0', true], ['0.0.0.0', '0.0.0.1', true], [null, '2.1.0.0', false],
    ['2.0.1', '2.1.0.0', false], ['1.0.0.65536', '2.1.0.0', false], ['1.0.0.0x', '2.1.0.0', false],
] as [$sent, $newest, $offered]) {
    $version = ParseVersion($sent);
    Check(($version !== null && IsOlder($version, ParseVersion($newest))) === $offered, "$sent");
}
foreach (['9.9.9.9' => '{"update":"https:\/\/e.com\/\u00e9?a&b"}', '10.0.0.0' => '{"update":""}']
         as $sent => $answer) {
    $_SERVER['HTTP_USER_VERSION'] = $sent;
    ob_start();
    include "$dir/api.init.php";
    Check(ob_get_clean() === $answer, "the answer to $sent");
}
