<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name></name>
    <message id="Veskar">
        <source>Veskar</source>
        <translation>Veskar</translation>
    </message>
    <message id="app.tagline">
        <source>Fast, private paths to the internet</source>
        <translation>Fast, private paths to the internet</translation>
    </message>
    <message id="app.open">
        <source>Open Veskar</source>
        <translation>Open Veskar</translation>
    </message>
    <message id="app.disconnect_and_quit">
        <source>Disconnect and Quit</source>
        <translation>Disconnect and Quit</translation>
    </message>
    <message id="app.open_website">
        <source>Open the website</source>
        <translation>Open the website</translation>
    </message>
    <message id="common.cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="common.loading">
        <source>Loading…</source>
        <translation>Loading…</translation>
    </message>
    <message id="common.off">
        <source>Off</source>
        <translation>Off</translation>
    </message>
    <message id="common.on">
        <source>On</source>
        <translation>On</translation>
    </message>
    <message id="common.open_settings">
        <source>Open Settings</source>
        <translation>Open Settings</translation>
    </message>
    <message id="common.unavailable">
        <source>Unavailable</source>
        <translation>Unavailable</translation>
    </message>
    <message id="common.unknown">
        <source>Unknown</source>
        <translation>Unknown</translation>
    </message>
    <message id="error.permission.denied_marker">
        <source>permission denied</source>
        <translation>permission denied</translation>
    </message>
    <message id="error.permission.missing_marker">
        <source>not permitted</source>
        <translation>not permitted</translation>
    </message>
    <message id="error.server.format">
        <source>The server answered with status %1: %2</source>
        <translation>The server answered with status %1: %2</translation>
    </message>
    <message id="error.server.invalid_response">
        <source>The server sent an invalid response.</source>
        <translation>The server sent an invalid response.</translation>
    </message>
    <message id="error.session.expired">
        <source>Your session has expired. Please sign in again.</source>
        <translation>Your session has expired. Please sign in again.</translation>
    </message>
    <message id="login.title">
        <source>Sign in</source>
        <translation>Sign in</translation>
    </message>
    <message id="login.instructions">
        <source>Sign in with your phone number and password.</source>
        <translation>Sign in with your phone number and password.</translation>
    </message>
    <message id="login.phone.placeholder">
        <source>Phone number</source>
        <translation>Phone number</translation>
    </message>
    <message id="login.password.placeholder">
        <source>Password</source>
        <translation>Password</translation>
    </message>
    <message id="login.sign_in">
        <source>Sign in</source>
        <translation>Sign in</translation>
    </message>
    <message id="login.signing_in">
        <source>Signing in…</source>
        <translation>Signing in…</translation>
    </message>
    <message id="login.sign_up">
        <source>Create an account</source>
        <translation>Create an account</translation>
    </message>
    <message id="login.forgot_password">
        <source>Forgot password?</source>
        <translation>Forgot password?</translation>
    </message>
    <message id="login.sign_out">
        <source>Sign out</source>
        <translation>Sign out</translation>
    </message>
    <message id="vpn.configuration.save_failed">
        <source>The tunnel configuration could not be saved.</source>
        <translation>The tunnel configuration could not be saved.</translation>
    </message>
    <message id="vpn.connect">
        <source>Connect</source>
        <translation>Connect</translation>
    </message>
    <message id="vpn.disconnect">
        <source>Disconnect</source>
        <translation>Disconnect</translation>
    </message>
    <message id="vpn.connection.failed">
        <source>The tunnel could not be connected.</source>
        <translation>The tunnel could not be connected.</translation>
    </message>
    <message id="vpn.high_speed.accessibility_label">
        <source>High speed</source>
        <translation>High speed</translation>
    </message>
    <message id="vpn.high_speed.disabled_toast">
        <source>High speed is off</source>
        <translation>High speed is off</translation>
    </message>
    <message id="vpn.high_speed.enabled_toast">
        <source>High speed is on</source>
        <translation>High speed is on</translation>
    </message>
    <message id="vpn.lockdown.accessibility_label">
        <source>Lockdown</source>
        <translation>Lockdown</translation>
    </message>
    <message id="vpn.lockdown.disabled_toast">
        <source>Lockdown is off</source>
        <translation>Lockdown is off</translation>
    </message>
    <message id="vpn.lockdown.enabled_toast">
        <source>Lockdown is on</source>
        <translation>Lockdown is on</translation>
    </message>
    <message id="vpn.lockdown.explanation">
        <source>Blocks traffic outside the tunnel at all times</source>
        <translation>Blocks traffic outside the tunnel at all times</translation>
    </message>
    <message id="vpn.lockdown.state">
        <source>Lockdown: %1</source>
        <translation>Lockdown: %1</translation>
    </message>
    <message id="vpn.nodes.connected">
        <source>Connected nodes</source>
        <translation>Connected nodes</translation>
    </message>
    <message id="vpn.nodes.none_available">
        <source>No nodes are available for your account.</source>
        <translation>No nodes are available for your account.</translation>
    </message>
    <message id="vpn.nodes.none_connected">
        <source>No nodes connected</source>
        <translation>No nodes connected</translation>
    </message>
    <message id="vpn.permission.title">
        <source>Permission needed</source>
        <translation>Permission needed</translation>
    </message>
    <message id="vpn.status.connected">
        <source>Connected</source>
        <translation>Connected</translation>
    </message>
    <message id="vpn.status.connecting">
        <source>Connecting…</source>
        <translation>Connecting…</translation>
    </message>
    <message id="vpn.status.disconnected">
        <source>Disconnected</source>
        <translation>Disconnected</translation>
    </message>
    <message id="vpn.status.disconnecting">
        <source>Disconnecting…</source>
        <translation>Disconnecting…</translation>
    </message>
    <message id="vpn.status.reasserting">
        <source>Reconnecting…</source>
        <translation>Reconnecting…</translation>
    </message>
    <message id="common.open_help">
        <source>Open Help</source>
        <translation>Open Help</translation>
    </message>
    <message id="error.login.wrong_password">
        <source>The phone number or password is wrong. Check them and try again.</source>
        <translation>The phone number or password is wrong. Check them and try again.</translation>
    </message>
    <message id="error.network.unavailable">
        <source>The server cannot be reached. Check your network connection and try again.</source>
        <translation>The server cannot be reached. Check your network connection and try again.</translation>
    </message>
    <message id="error.server.failed">
        <source>The server could not complete the request. Try again later.</source>
        <translation>The server could not complete the request. Try again later.</translation>
    </message>
    <message id="error.service.not_responding">
        <source>The Veskar service is not responding. Restart it with "sudo systemctl restart flowgate" and try again.</source>
        <translation>The Veskar service is not responding. Restart it with "sudo systemctl restart flowgate" and try again.</translation>
    </message>
    <message id="error.service.not_running">
        <source>The Veskar service is not running. Start it with "sudo systemctl start flowgate" and try again.</source>
        <translation>The Veskar service is not running. Start it with "sudo systemctl start flowgate" and try again.</translation>
    </message>
    <message id="error.service.permission_denied">
        <source>You may not control the tunnel: only root and members of the group "%1" may. Add yourself with "sudo usermod -aG %1 $USER", then sign out of the desktop and back in.</source>
        <translation>You may not control the tunnel: only root and members of the group "%1" may. Add yourself with "sudo usermod -aG %1 $USER", then sign out of the desktop and back in.</translation>
    </message>
    <message id="vpn.status.service_stopped">
        <source>Service stopped</source>
        <translation>Service stopped</translation>
    </message>
    <message id="app.start_at_login">
        <source>Start at login</source>
        <translation>Start at login</translation>
    </message>
    <message id="vpn.notification.dropped">
        <source>Veskar disconnected</source>
        <translation>Veskar disconnected</translation>
    </message>
    <message id="vpn.notification.dropped_body">
        <source>The tunnel went down. Open Veskar to connect again.</source>
        <translation>The tunnel went down. Open Veskar to connect again.</translation>
    </message>
    <message id="vpn.notification.failed">
        <source>Veskar could not connect</source>
        <translation>Veskar could not connect</translation>
    </message>
</context>
</TS>
