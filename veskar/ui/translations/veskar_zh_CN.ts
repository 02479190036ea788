<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name></name>
    <message id="Veskar">
        <source>Veskar</source>
        <translation>Veskar</translation>
    </message>
    <message id="app.tagline">
        <source>Fast, private paths to the internet</source>
        <translation>快速、私密的上网路径</translation>
    </message>
    <message id="app.open">
        <source>Open Veskar</source>
        <translation>打开 Veskar</translation>
    </message>
    <message id="app.disconnect_and_quit">
        <source>Disconnect and Quit</source>
        <translation>断开并退出</translation>
    </message>
    <message id="app.open_website">
        <source>Open the website</source>
        <translation>打开网站</translation>
    </message>
    <message id="common.cancel">
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message id="common.loading">
        <source>Loading…</source>
        <translation>加载中…</translation>
    </message>
    <message id="common.off">
        <source>Off</source>
        <translation>关</translation>
    </message>
    <message id="common.on">
        <source>On</source>
        <translation>开</translation>
    </message>
    <message id="common.open_settings">
        <source>Open Settings</source>
        <translation>打开设置</translation>
    </message>
    <message id="common.unavailable">
        <source>Unavailable</source>
        <translation>不可用</translation>
    </message>
    <message id="common.unknown">
        <source>Unknown</source>
        <translation>未知</translation>
    </message>
    <message id="error.permission.denied_marker">
        <source>permission denied</source>
        <translation>权限被拒绝</translation>
    </message>
    <message id="error.permission.missing_marker">
        <source>not permitted</source>
        <translation>不允许</translation>
    </message>
    <message id="error.server.format">
        <source>The server answered with status %1: %2</source>
        <translation>服务器返回状态 %1：%2</translation>
    </message>
    <message id="error.server.invalid_response">
        <source>The server sent an invalid response.</source>
        <translation>服务器返回了无效的响应。</translation>
    </message>
    <message id="error.session.expired">
        <source>Your session has expired. Please sign in again.</source>
        <translation>您的登录已过期，请重新登录。</translation>
    </message>
    <message id="login.title">
        <source>Sign in</source>
        <translation>登录</translation>
    </message>
    <message id="login.instructions">
        <source>Sign in with your phone number and password.</source>
        <translation>请使用手机号和密码登录。</translation>
    </message>
    <message id="login.phone.placeholder">
        <source>Phone number</source>
        <translation>手机号</translation>
    </message>
    <message id="login.password.placeholder">
        <source>Password</source>
        <translation>密码</translation>
    </message>
    <message id="login.sign_in">
        <source>Sign in</source>
        <translation>登录</translation>
    </message>
    <message id="login.signing_in">
        <source>Signing in…</source>
        <translation>正在登录…</translation>
    </message>
    <message id="login.sign_up">
        <source>Create an account</source>
        <translation>注册账号</translation>
    </message>
    <message id="login.forgot_password">
        <source>Forgot password?</source>
        <translation>忘记密码？</translation>
    </message>
    <message id="login.sign_out">
        <source>Sign out</source>
        <translation>退出登录</translation>
    </message>
    <message id="vpn.configuration.save_failed">
        <source>The tunnel configuration could not be saved.</source>
        <translation>无法保存隧道配置。</translation>
    </message>
    <message id="vpn.connect">
        <source>Connect</source>
        <translation>连接</translation>
    </message>
    <message id="vpn.disconnect">
        <source>Disconnect</source>
        <translation>断开连接</translation>
    </message>
    <message id="vpn.connection.failed">
        <source>The tunnel could not be connected.</source>
        <translation>隧道连接失败。</translation>
    </message>
    <message id="vpn.high_speed.accessibility_label">
        <source>High speed</source>
        <translation>高速模式</translation>
    </message>
    <message id="vpn.high_speed.disabled_toast">
        <source>High speed is off</source>
        <translation>高速模式已关闭</translation>
    </message>
    <message id="vpn.high_speed.enabled_toast">
        <source>High speed is on</source>
        <translation>高速模式已开启</translation>
    </message>
    <message id="vpn.lockdown.accessibility_label">
        <source>Lockdown</source>
        <translation>锁定模式</translation>
    </message>
    <message id="vpn.lockdown.disabled_toast">
        <source>Lockdown is off</source>
        <translation>锁定模式已关闭</translation>
    </message>
    <message id="vpn.lockdown.enabled_toast">
        <source>Lockdown is on</source>
        <translation>锁定模式已开启</translation>
    </message>
    <message id="vpn.lockdown.explanation">
        <source>Blocks traffic outside the tunnel at all times</source>
        <translation>始终阻止隧道之外的流量</translation>
    </message>
    <message id="vpn.lockdown.state">
        <source>Lockdown: %1</source>
        <translation>锁定模式：%1</translation>
    </message>
    <message id="vpn.nodes.connected">
        <source>Connected nodes</source>
        <translation>已连接节点</translation>
    </message>
    <message id="vpn.nodes.none_available">
        <source>No nodes are available for your account.</source>
        <translation>您的账号暂无可用节点。</translation>
    </message>
    <message id="vpn.nodes.none_connected">
        <source>No nodes connected</source>
        <translation>暂无已连接节点</translation>
    </message>
    <message id="vpn.permission.title">
        <source>Permission needed</source>
        <translation>需要权限</translation>
    </message>
    <message id="vpn.status.connected">
        <source>Connected</source>
        <translation>已连接</translation>
    </message>
    <message id="vpn.status.connecting">
        <source>Connecting…</source>
        <translation>正在连接…</translation>
    </message>
    <message id="vpn.status.disconnected">
        <source>Disconnected</source>
        <translation>未连接</translation>
    </message>
    <message id="vpn.status.disconnecting">
        <source>Disconnecting…</source>
        <translation>正在断开…</translation>
    </message>
    <message id="vpn.status.reasserting">
        <source>Reconnecting…</source>
        <translation>正在重新连接…</translation>
    </message>
    <message id="common.open_help">
        <source>Open Help</source>
        <translation>打开帮助</translation>
    </message>
    <message id="error.login.wrong_password">
        <source>The phone number or password is wrong. Check them and try again.</source>
        <translation>手机号或密码错误，请检查后重试。</translation>
    </message>
    <message id="error.network.unavailable">
        <source>The server cannot be reached. Check your network connection and try again.</source>
        <translation>无法连接服务器。请检查网络连接后重试。</translation>
    </message>
    <message id="error.server.failed">
        <source>The server could not complete the request. Try again later.</source>
        <translation>服务器无法完成请求，请稍后重试。</translation>
    </message>
    <message id="error.service.not_responding">
        <source>The Veskar service is not responding. Restart it with "sudo systemctl restart flowgate" and try again.</source>
        <translation>Veskar 服务没有响应。请用“sudo systemctl restart flowgate”重启后重试。</translation>
    </message>
    <message id="error.service.not_running">
        <source>The Veskar service is not running. Start it with "sudo systemctl start flowgate" and try again.</source>
        <translation>Veskar 服务未运行。请用“sudo systemctl start flowgate”启动后重试。</translation>
    </message>
    <message id="error.service.permission_denied">
        <source>You may not control the tunnel: only root and members of the group "%1" may. Add yourself with "sudo usermod -aG %1 $USER", then sign out of the desktop and back in.</source>
        <translation>您无权控制隧道：只有 root 和“%1”组的成员可以。请用“sudo usermod -aG %1 $USER”把自己加入该组，然后注销桌面并重新登录。</translation>
    </message>
    <message id="vpn.status.service_stopped">
        <source>Service stopped</source>
        <translation>服务已停止</translation>
    </message>
    <message id="app.start_at_login">
        <source>Start at login</source>
        <translation>登录时启动</translation>
    </message>
    <message id="vpn.notification.dropped">
        <source>Veskar disconnected</source>
        <translation>Veskar 已断开</translation>
    </message>
    <message id="vpn.notification.dropped_body">
        <source>The tunnel went down. Open Veskar to connect again.</source>
        <translation>隧道已断开。打开 Veskar 以重新连接。</translation>
    </message>
    <message id="vpn.notification.failed">
        <source>Veskar could not connect</source>
        <translation>Veskar 无法连接</translation>
    </message>
</context>
</TS>
