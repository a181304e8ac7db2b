<?php
// The endpoint's version rule under php-cli alone (whole answers behind nginx are an e2e case).
require_once __DIR__ . '/../../endpoint/version.php';

foreach ([  // the caller's User-Version, the newest release, whether the caller is offered it
    ['2.0.1.0', '2.1.0.0', true], ['2.1.0.0', '2.1.0.0', false], ['2.1.0.1', '2.1.0.0', false],
    ['9.9.9.9', '10.0.0.0', true], ['0.0.0.0', '0.0.0.1', true], [null, '2.1.0.0', false],
    ['2.0.1', '2.1.0.0', false], ['1.0.0.65536', '2.1.0.0', false], ['1.0.0.0x', '2.1.0.0', false],
] as [$sent, $newest, $offered]) {
    $version = ParseVersion($sent);
    if (($version !== null && IsOlder($version, ParseVersion($newest))) !== $offered) {
        fwrite(STDERR, "FAIL: $sent against $newest\n");
        exit(1);
    }
}
