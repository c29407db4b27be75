// Validates glTF files with the Khronos glTF validator: one JSON line per file, naming the
// codes of its errors and warnings, with each code's count. External resources are read from
// beside each file.
const fs = require('fs');
const path = require('path');
const validator = require('gltf-validator');

function readResource(file) {
    return (uri) => new Promise((resolve, reject) => {
        fs.readFile(path.resolve(path.dirname(file), decodeURIComponent(uri)), (error, data) => {
            if (error)
                reject(error.toString());
            else
                resolve(new Uint8Array(data));
        });
    });
}

async function validate(file) {
    const report = await validator.validateBytes(new Uint8Array(fs.readFileSync(file)), {
        uri: path.basename(file),
        maxIssues: 0,
        externalResourceFunction: readResource(file),
    });
    const codes = {};
    for (const message of report.issues.messages)
        if (message.severity <= 1) // errors and warnings
            codes[message.code] = (codes[message.code] || 0) + 1;
    return {file, codes};
}

(async () => {
    for (const file of process.argv.slice(2)) {
        let line;
        try {
            line = await validate(file);
        } catch (error) {
            line = {file, codes: {UNREADABLE: 1}, error: String(error)};
        }
        console.log(JSON.stringify(line));
    }
})();
