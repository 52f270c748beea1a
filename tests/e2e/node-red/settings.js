// Node-RED for the test of docs/node-red-flow.json: loopback only, no editor, nothing installed
// or fetched at run time. The port and the flow file come on the command line.
module.exports = {
    uiHost: "127.0.0.1",
    disableEditor: true,
    credentialSecret: false,
    diagnostics: { enabled: false, ui: false },
    telemetry: { enabled: false, updateNotification: false },
    externalModules: {
        autoInstall: false,
        palette: { allowInstall: false, allowUpdate: false, allowUpload: false },
        modules: { allowInstall: false },
    },
    logging: { console: { level: "info", metrics: false, audit: false } },
};
